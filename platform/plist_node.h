#pragma once
// What the property-list reader and writer share: owning handles for the library's nodes and
// buffers, and the epoch of its dates.

#include <plist/plist.h>

#include <QtGlobal>

#include <cstdlib>
#include <memory>

namespace brennick::plist_node {

// Property-list dates count seconds from 2001-01-01T00:00:00Z.
constexpr qint64 kPlistEpochMSecs = 978307200LL * 1000;

struct PlistDeleter {
    void operator()(void* node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

struct MallocDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using MallocPtr = std::unique_ptr<T, MallocDeleter>;

}  // namespace brennick::plist_node
