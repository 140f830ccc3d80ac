#include "platform/binary_property_list_check.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/property_list.h"

namespace brennick {

namespace {

// Checks the object graph of a binary list: the trailer and offset table in range, every reference
// to an existing object, no cycles, nesting within the limit, and a tree that stays a modest size
// once shared objects are copied out (the library copies every shared object at each use).
class BinaryListCheck {
public:
    explicit BinaryListCheck(const QByteArray& bytes)
        : data_(reinterpret_cast<const unsigned char*>(bytes.constData())),
          size_(static_cast<std::uint64_t>(bytes.size()))
    {
    }

    bool ok()
    {
        constexpr std::uint64_t kHeader = 8, kTrailer = 32;
        if (size_ < kHeader + kTrailer)
            return false;
        const std::uint64_t trailer = size_ - kTrailer;
        offsetSize_ = data_[trailer + 6];
        refSize_ = data_[trailer + 7];
        objectCount_ = readBigEndian(trailer + 8, 8);
        const std::uint64_t root = readBigEndian(trailer + 16, 8);
        offsetTable_ = readBigEndian(trailer + 24, 8);
        if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8)
            return false;
        if (objectCount_ == 0 || root >= objectCount_ || offsetTable_ < kHeader || offsetTable_ > trailer ||
            objectCount_ > (trailer - offsetTable_) / offsetSize_)
            return false;
        objectsEnd_ = trailer;
        state_.assign(objectCount_, State{});
        return walk(root);
    }

private:
    static constexpr std::uint32_t kMaxExpandedNodes = 1u << 20;
    static constexpr std::uint64_t kMaxExpandedBytes = 64u << 20;

    struct State {
        std::uint8_t mark = 0;    // 0 unseen, 1 on the current path, 2 done
        std::uint8_t height = 0;  // container levels below and including this object
        std::uint32_t nodes = 0;
        std::uint64_t bytes = 0;
    };
    struct Object {
        bool container = false;
        std::uint64_t payloadBytes = 0;
        std::uint64_t refsAt = 0;
        std::uint64_t refCount = 0;
    };
    struct Frame {
        std::uint64_t index;
        Object object;
        std::uint64_t next = 0;
    };

    std::uint64_t readBigEndian(std::uint64_t at, unsigned width) const
    {
        std::uint64_t value = 0;
        for (unsigned i = 0; i < width; ++i)
            value = (value << 8) | data_[at + i];
        return value;
    }

    // The library aborts on a string or key with a NUL inside (it asserts its length), so such
    // lists are refused before it sees them.
    bool containsNul(std::uint64_t at, std::uint64_t units, unsigned unitBytes) const
    {
        for (std::uint64_t i = 0; i < units; ++i) {
            if (readBigEndian(at + i * unitBytes, unitBytes) == 0)
                return true;
        }
        return false;
    }

    std::optional<Object> parseObject(std::uint64_t index) const
    {
        const std::uint64_t entry = offsetTable_ + index * offsetSize_;
        const std::uint64_t at = readBigEndian(entry, offsetSize_);
        if (at < 8 || at >= objectsEnd_)
            return std::nullopt;
        const unsigned type = data_[at] >> 4;
        const unsigned info = data_[at] & 0x0F;
        std::uint64_t pos = at + 1;
        auto count = [&]() -> std::optional<std::uint64_t> {
            if (info != 0x0F)
                return info;
            if (pos >= objectsEnd_ || (data_[pos] >> 4) != 0x1)
                return std::nullopt;
            const unsigned width = 1u << (data_[pos] & 0x0F);
            if (width > 16 || pos + 1 + width > objectsEnd_)
                return std::nullopt;
            const std::uint64_t value = readBigEndian(pos + 1 + (width > 8 ? width - 8 : 0), std::min(width, 8u));
            pos += 1 + width;
            return value;
        };
        Object object;
        switch (type) {
        case 0x4: {  // data
            const auto n = count();
            if (!n || *n > size_)
                return std::nullopt;
            object.payloadBytes = *n;
            break;
        }
        case 0x5:    // ASCII string
        case 0x6: {  // UTF-16 string
            const auto n = count();
            if (!n || *n > size_)
                return std::nullopt;
            object.payloadBytes = type == 0x6 ? *n * 2 : *n;
            if (object.payloadBytes > objectsEnd_ - pos || containsNul(pos, *n, type == 0x6 ? 2 : 1))
                return std::nullopt;
            break;
        }
        case 0xA:    // array
        case 0xC:    // set
        case 0xD: {  // dictionary: keys, then values
            const auto n = count();
            if (!n || *n > size_)
                return std::nullopt;
            object.container = true;
            object.refCount = type == 0xD ? *n * 2 : *n;
            object.refsAt = pos;
            if (object.refCount > (objectsEnd_ - pos) / refSize_)
                return std::nullopt;
            break;
        }
        default:  // scalars have a fixed, small size
            object.payloadBytes = 16;
            break;
        }
        return object;
    }

    bool walk(std::uint64_t root)
    {
        std::vector<Frame> path;
        auto enter = [&](std::uint64_t index) -> bool {
            const auto object = parseObject(index);
            if (!object)
                return false;
            State& s = state_[index];
            s.mark = 1;
            s.nodes = 1;
            s.bytes = object->payloadBytes + 16;
            if (object->container && path.size() + 1 > kMaxPropertyListDepth)
                return false;
            path.push_back(Frame{index, *object});
            return true;
        };
        if (!enter(root))
            return false;
        while (!path.empty()) {
            Frame& frame = path.back();
            if (frame.next < frame.object.refCount) {
                const std::uint64_t child = readBigEndian(frame.object.refsAt + frame.next * refSize_, refSize_);
                ++frame.next;
                if (child >= objectCount_)
                    return false;
                const State& c = state_[child];
                if (c.mark == 1)
                    return false;  // a cycle
                if (c.mark == 2) {
                    if (path.size() + c.height > kMaxPropertyListDepth)
                        return false;
                    if (!addChild(state_[frame.index], c))
                        return false;
                    continue;
                }
                if (!enter(child))
                    return false;
                continue;
            }
            State& done = state_[frame.index];
            done.mark = 2;
            done.height = static_cast<std::uint8_t>(done.height + (frame.object.container ? 1 : 0));
            path.pop_back();
            if (!path.empty() && !addChild(state_[path.back().index], done))
                return false;
        }
        return true;
    }

    static bool addChild(State& parent, const State& child)
    {
        parent.height = std::max(parent.height, child.height);
        if (child.nodes > kMaxExpandedNodes - parent.nodes || child.bytes > kMaxExpandedBytes - parent.bytes)
            return false;
        parent.nodes += child.nodes;
        parent.bytes += child.bytes;
        return true;
    }

    const unsigned char* data_;
    std::uint64_t size_;
    unsigned offsetSize_ = 0;
    unsigned refSize_ = 0;
    std::uint64_t objectCount_ = 0;
    std::uint64_t offsetTable_ = 0;
    std::uint64_t objectsEnd_ = 0;
    std::vector<State> state_;
};

}  // namespace

bool binaryPropertyListIsSafe(const QByteArray& bytes)
{
    return BinaryListCheck(bytes).ok();
}

}  // namespace brennick
