#pragma once

// Data records the host finds by name in the DLL's export table.
#ifdef _WIN32
#define TAVU_EXPORT __declspec(dllexport)
#else
#define TAVU_EXPORT
#endif
