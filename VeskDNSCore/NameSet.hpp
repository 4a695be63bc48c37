#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace vesk {

// A name and the parents that the parent walk tests (every proper parent down to the
// last two labels, labels being the non-empty pieces between dots), each with its hash.
// Computing them once lets a caller test several sets and prefetch before probing.
class NameWalk {
public:
    explicit NameWalk(std::string_view name);
    NameWalk(const NameWalk&) = delete;
    NameWalk& operator=(const NameWalk&) = delete;

    struct Candidate {
        // Plain fields so that the inline array costs nothing to set up.
        const char* data;
        size_t size;
        uint64_t hash;
        std::string_view name() const { return {data, size}; }
    };
    // The name itself first, then its parents from the longest.
    const Candidate* begin() const { return spill.empty() ? inlineCandidates : spill.data(); }
    const Candidate* end() const { return begin() + count; }
    size_t size() const { return count; }

private:
    void add(std::string_view candidate);

    static constexpr size_t inlineCapacity = 16;
    Candidate inlineCandidates[inlineCapacity];
    std::vector<Candidate> spill;  // names of more than 16 labels
    size_t count = 0;
    std::string joined;  // the labels rejoined, when the name has empty ones
};

// A set of names built once and then only read. Names are stored inline in 64-byte
// buckets (a length byte, then the bytes), so a lookup reads one cache line, two at
// most, and never follows a pointer; a million names take about a quarter of the
// memory of a hash set of strings, and nothing is allocated per name or per lookup.
class NameSet {
public:
    explicit NameSet(size_t expectedCount = 0, size_t expectedBytes = 0);
    ~NameSet();
    NameSet(NameSet&& other) noexcept;
    NameSet& operator=(NameSet&& other) noexcept;
    NameSet(const NameSet&) = delete;
    NameSet& operator=(const NameSet&) = delete;

    // Adds a name; false when it was already present (or is empty).
    bool insert(std::string_view name) { return insert(name, hash(name)); }
    bool insert(std::string_view name, uint64_t nameHash);

    bool contains(std::string_view name) const { return contains(name, hash(name)); }
    bool contains(std::string_view name, uint64_t nameHash) const;
    // Whether the name or one of the parents the walk tests is in the set.
    bool containsAny(const NameWalk& walk) const;
    // A hint that a name with this hash will be looked up soon; lets misses overlap.
    void prefetch(uint64_t nameHash) const {
        __builtin_prefetch(bucket(home(nameHash)));
        __builtin_prefetch(bucket(second(nameHash)));
    }

    // Whether the test holds for some name in the set. Reads every name: for rare questions,
    // never for the DNS path.
    bool anyOf(const std::function<bool(std::string_view)>& test) const;

    size_t size() const { return count; }
    bool empty() const { return count == 0; }
    // Bytes held by the buckets and the names kept outside them.
    size_t bytesHeld() const;

    static uint64_t hash(std::string_view name);

private:
    static constexpr size_t bucketSize = 64;
    // Byte 0 of a bucket: bit 7 set when a name was pushed past it, bits 0-5 the bytes
    // of records in use after byte 0.
    static constexpr uint8_t passedOver = 0x80;
    static constexpr uint8_t usedMask = 0x3F;
    static constexpr size_t maxInline = bucketSize - 2;

    uint8_t* bucket(size_t index) const { return buckets + index * bucketSize; }
    size_t home(uint64_t nameHash) const {
        return static_cast<size_t>((static_cast<unsigned __int128>(nameHash) * bucketCount) >> 64);
    }
    // A name may live in either of two buckets, or in those after the first when both
    // were full.
    size_t second(uint64_t nameHash) const {
        return home((nameHash ^ (nameHash >> 29)) * 0x9e3779b97f4a7c15ULL);
    }
    static bool holds(const uint8_t* bucket, std::string_view name);
    void allocate(size_t count);
    void release();
    bool place(std::string_view name, uint64_t nameHash);
    void grow();

    uint8_t* buckets = nullptr;
    size_t bucketCount = 0;
    size_t allocatedBytes = 0;
    size_t recordBytes = 0;  // bytes of names and their length bytes in buckets
    size_t count = 0;
    // Names too long for a bucket (over 62 bytes; no real domain list has many).
    std::unordered_set<std::string> longNames;
};

}  // namespace vesk
