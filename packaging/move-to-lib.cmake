# Runs in CPack before the package is made: moves the module options from usr/lib/modprobe.d to
# lib/modprobe.d, where Debian 12's kmod and systemd keep theirs. dpkg takes the two paths for
# different folders even where /lib is a link to /usr/lib, and would find "its" /usr/lib/modprobe.d
# not empty when removing the package.
set(staging ${CPACK_TEMPORARY_INSTALL_DIRECTORY})
if(EXISTS ${staging}/usr/lib/modprobe.d)
    file(MAKE_DIRECTORY ${staging}/lib)
    file(RENAME ${staging}/usr/lib/modprobe.d ${staging}/lib/modprobe.d)
    file(GLOB rest ${staging}/usr/lib/*)
    if(NOT rest)
        file(REMOVE_RECURSE ${staging}/usr/lib)
    endif()
endif()
