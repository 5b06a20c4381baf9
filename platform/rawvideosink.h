#pragma once

#include "uniquefd.h"

#include <cstddef>
#include <cstdint>
#include <string>

// A regular file or a FIFO that receives the virtual camera's frames one after another, as raw
// video. A FIFO is written while a program reads it: a frame that finds no reader (none has opened
// it yet, or the last one closed it) goes nowhere, and the next one looks for a reader again without
// waiting for one.
class RawVideoSink
{
public:
    enum class State { Ready, NoReader, Failed };

    // A FIFO at path, for frames of frameBytes; its reader is looked for by ready().
    void openFifo(const std::string &path, std::size_t frameBytes);
    // The regular file at path, created or emptied. False, with errno's text in error, on failure.
    bool openFile(const std::string &path, std::string &error);

    // Whether a frame can be written now; a FIFO without a writing end looks for a reader. Failed
    // comes with errno's text in error.
    State ready(std::string &error);
    // Writes one frame whole, going on after partial writes. False when it could not: a FIFO's
    // reader went away (the next ready() looks for another one), or the file failed.
    bool write(const std::uint8_t *data, std::size_t size);

    void close();

    bool isFifo() const { return m_fifo; }

private:
    int openFifoWriter(); // 0 or the errno of the failure

    UniqueFd m_fd;
    std::string m_path;
    bool m_fifo = false;
    std::size_t m_frameBytes = 0;
};
