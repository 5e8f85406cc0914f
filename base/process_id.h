#pragma once
// This process's id (the temporary-file names and the registry use it).

#include <cstdint>

uint32_t CurrentProcessId();
