#pragma once
// The asbd tool's catalogue commands: the writable file types, and file type inference by name.

#include <cstdio>

// Prints every writable file type: its code, name and extensions, then each data format with
// whether it can be read and written, and its stream format variants. Returns 0, or 1 when the
// catalogue is empty.
int printFileTypes(std::FILE* out);

// Prints the file type that `fileName`'s extension names and the stream format suggested for it.
// Returns 0, or 1 (with a line saying so) when the name gives no file type.
int printInferredFileType(const char* fileName, std::FILE* out);
