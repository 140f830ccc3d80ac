#pragma once
// The check a binary property list passes before the library parses it.

#include <QByteArray>

namespace brennick {

// Whether the binary property list `bytes` is safe to hand to the library: the trailer and offset
// table in range, every reference to an existing object, no cycles, nesting within
// kMaxPropertyListDepth, no string with a NUL character, and a tree that stays a modest size once
// shared objects are copied out (the library copies every shared object at each use).
bool binaryPropertyListIsSafe(const QByteArray& bytes);

}  // namespace brennick
