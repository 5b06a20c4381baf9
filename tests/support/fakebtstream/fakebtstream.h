#pragma once

// Placeholder until the fake lands.
