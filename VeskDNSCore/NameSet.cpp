#include "NameSet.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <utility>

namespace vesk {

namespace {

constexpr size_t hugePage = 2 << 20;

// Bit 7 of each byte of the result is set where that byte of word is a '.'.
uint64_t dotBytes(uint64_t word) {
    constexpr uint64_t low7 = 0x7F7F7F7F7F7F7F7FULL;
    uint64_t x = word ^ 0x2E2E2E2E2E2E2E2EULL;
    return ~(((x & low7) + low7) | x | low7);
}
// The lowest set bit of dotBytes is the first dot in memory only on little-endian.
static_assert(std::endian::native == std::endian::little);

}  // namespace

NameSet::NameSet(size_t expectedCount, size_t expectedBytes) {
    // Room for the names at two thirds full; a length byte per name.
    size_t bytes = std::max(expectedBytes, expectedCount) + expectedCount;
    allocate(bytes * 3 / 2 / (bucketSize - 1) + 1);
}

NameSet::~NameSet() { release(); }

NameSet::NameSet(NameSet&& other) noexcept { *this = std::move(other); }

NameSet& NameSet::operator=(NameSet&& other) noexcept {
    if (this != &other) {
        release();
        buckets = std::exchange(other.buckets, nullptr);
        bucketCount = std::exchange(other.bucketCount, 0);
        allocatedBytes = std::exchange(other.allocatedBytes, 0);
        recordBytes = std::exchange(other.recordBytes, 0);
        count = std::exchange(other.count, 0);
        longNames = std::move(other.longNames);
    }
    return *this;
}

void NameSet::allocate(size_t wanted) {
    bucketCount = std::max<size_t>(wanted, 1);
    size_t bytes = bucketCount * bucketSize;
    if (bytes >= hugePage) {
        // Large tables on huge pages where the system has them: a lookup then costs a
        // cache miss without a TLB miss on top.
        allocatedBytes = (bytes + hugePage - 1) / hugePage * hugePage;
        void* memory = mmap(nullptr, allocatedBytes, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
        madvise(memory, allocatedBytes, MADV_HUGEPAGE);
#endif
        buckets = static_cast<uint8_t*>(memory);
    } else {
        allocatedBytes = bytes;
        buckets = static_cast<uint8_t*>(::operator new(bytes, std::align_val_t(bucketSize)));
        std::memset(buckets, 0, bytes);
    }
}

void NameSet::release() {
    if (buckets == nullptr) return;
    if (allocatedBytes >= hugePage) {
        munmap(buckets, allocatedBytes);
    } else {
        ::operator delete(buckets, std::align_val_t(bucketSize));
    }
    buckets = nullptr;
}

bool NameSet::holds(const uint8_t* b, std::string_view name) {
    size_t end = 1 + (b[0] & usedMask);
    for (size_t at = 1; at < end; at += 1 + b[at]) {
        if (b[at] == name.size() && std::memcmp(b + at + 1, name.data(), name.size()) == 0) {
            return true;
        }
    }
    return false;
}

bool NameSet::contains(std::string_view name, uint64_t nameHash) const {
    size_t n = name.size();
    if (n > maxInline) return !longNames.empty() && longNames.count(std::string(name)) > 0;
    if (n == 0) return false;
    size_t first = home(nameHash);
    const uint8_t* other = bucket(second(nameHash));
    __builtin_prefetch(other);
    if (holds(bucket(first), name) || holds(other, name)) return true;
    // Names that fitted in neither bucket went to the buckets after the first.
    size_t i = first;
    for (size_t steps = 1; steps < bucketCount && (bucket(i)[0] & passedOver); ++steps) {
        if (++i == bucketCount) i = 0;
        if (holds(bucket(i), name)) return true;
    }
    return false;
}

bool NameSet::anyOf(const std::function<bool(std::string_view)>& test) const {
    for (size_t i = 0; i < bucketCount; ++i) {
        const uint8_t* b = bucket(i);
        size_t end = 1 + (b[0] & usedMask);
        for (size_t at = 1; at < end; at += 1 + b[at]) {
            if (test({reinterpret_cast<const char*>(b + at + 1), b[at]})) return true;
        }
    }
    for (const auto& name : longNames) {
        if (test(name)) return true;
    }
    return false;
}

bool NameSet::insert(std::string_view name, uint64_t nameHash) {
    if (name.empty() || contains(name, nameHash)) return false;
    ++count;
    if (name.size() > maxInline) {
        longNames.emplace(name);
        return true;
    }
    if ((recordBytes + name.size() + 1) * 5 > bucketCount * (bucketSize - 1) * 4) grow();
    // Long names can find every bucket too full before the table is; then it grows.
    while (!place(name, nameHash)) grow();
    return true;
}

bool NameSet::place(std::string_view name, uint64_t nameHash) {
    size_t need = name.size() + 1;
    auto room = [&](size_t i) { return bucketSize - 1 - (bucket(i)[0] & usedMask); };
    auto put = [&](size_t i) {
        uint8_t* b = bucket(i);
        size_t used = b[0] & usedMask;
        b[1 + used] = static_cast<uint8_t>(name.size());
        std::memcpy(b + 2 + used, name.data(), name.size());
        b[0] = static_cast<uint8_t>((b[0] & passedOver) | (used + need));
        recordBytes += need;
        return true;
    };
    // The emptier of two buckets keeps both evenly filled, so few names spill over.
    size_t first = home(nameHash), other = second(nameHash);
    size_t best = room(other) > room(first) ? other : first;
    if (room(best) >= need) return put(best);
    size_t i = first;
    for (size_t steps = 1; steps < bucketCount; ++steps) {
        bucket(i)[0] |= passedOver;
        if (++i == bucketCount) i = 0;
        if (room(i) >= need) return put(i);
    }
    return false;
}

void NameSet::grow() {
    std::vector<std::string> names;
    for (size_t i = 0; i < bucketCount; ++i) {
        const uint8_t* b = bucket(i);
        size_t end = 1 + (b[0] & usedMask);
        for (size_t at = 1; at < end; at += 1 + b[at]) {
            names.emplace_back(reinterpret_cast<const char*>(b + at + 1), b[at]);
        }
    }
    for (size_t target = bucketCount * 2;; target *= 2) {
        release();
        allocate(target);
        recordBytes = 0;
        bool placedAll = true;
        for (const auto& name : names) {
            if (!place(name, hash(name))) {
                placedAll = false;
                break;
            }
        }
        if (placedAll) return;
    }
}

size_t NameSet::bytesHeld() const {
    size_t bytes = allocatedBytes;
    for (const auto& name : longNames) bytes += name.capacity() + 48;
    return bytes;
}

namespace {

uint64_t load64(const char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
uint64_t load32(const char* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
uint64_t mix(uint64_t a, uint64_t b) {
    unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
}

constexpr uint64_t k0 = 0xa0761d6478bd642fULL;
constexpr uint64_t k1 = 0xe7037ed1a0b428dbULL;
constexpr uint64_t k2 = 0x8ebc6af09c88c6e3ULL;

}  // namespace

// Two multiplies over the first, middle and last eight bytes and the length: names of
// up to 24 bytes (nine in ten) are hashed whole, longer ones by those 24 bytes, which
// only costs a little more scanning when two long names share them.
uint64_t NameSet::hash(std::string_view name) {
    const char* p = name.data();
    size_t n = name.size();
    uint64_t a = 0, b = 0, c = 0;
    if (n >= 8) {
        a = load64(p);
        c = load64(p + n - 8);
        if (n > 16) b = load64(p + n / 2 - 4);
    } else if (n >= 4) {
        a = load32(p);
        c = load32(p + n - 4);
    } else if (n > 0) {
        a = (static_cast<uint64_t>(static_cast<uint8_t>(p[0])) << 16) |
            (static_cast<uint64_t>(static_cast<uint8_t>(p[n / 2])) << 8) |
            static_cast<uint8_t>(p[n - 1]);
    }
    return mix(a ^ k0 ^ n, mix(b ^ k1, c ^ k2));
}

bool NameSet::containsAny(const NameWalk& walk) const {
    for (const auto& candidate : walk) prefetch(candidate.hash);  // the misses overlap
    for (const auto& candidate : walk) {
        if (contains(candidate.name(), candidate.hash)) return true;
    }
    return false;
}

NameWalk::NameWalk(std::string_view name) {
    size_t n = name.size();
    if (n == 0) return;
    add(name);
    // Find the dots a word at a time; a name without empty labels (nearly all) then
    // needs no copy: each parent is the suffix after a dot.
    size_t dots[inlineCapacity];
    size_t dotCount = 0;
    bool emptyLabel = name.front() == '.' || name.back() == '.';
    auto note = [&](size_t at) {
        if (dotCount == inlineCapacity || (dotCount > 0 && dots[dotCount - 1] + 1 == at)) {
            emptyLabel = true;  // or too many labels for the fast path
        } else {
            dots[dotCount++] = at;
        }
    };
    size_t i = 0;
    for (; i + 8 <= n && !emptyLabel; i += 8) {
        uint64_t word;
        std::memcpy(&word, name.data() + i, 8);
        for (uint64_t mask = dotBytes(word); mask != 0; mask &= mask - 1) {
            note(i + static_cast<size_t>(__builtin_ctzll(mask)) / 8);
        }
    }
    for (; i < n && !emptyLabel; ++i) {
        if (name[i] == '.') note(i);
    }
    if (!emptyLabel) {
        // The last dot starts a single label, never tested.
        for (size_t k = 0; k + 1 < dotCount; ++k) add(name.substr(dots[k] + 1));
        return;
    }
    // The parents are the labels joined again without the empty ones.
    size_t start = 0;
    while (start <= name.size()) {
        size_t dot = std::min(name.find('.', start), name.size());
        if (dot > start) {
            if (!joined.empty()) joined += '.';
            joined.append(name.substr(start, dot - start));
        }
        start = dot + 1;
    }
    size_t last = joined.rfind('.');
    if (last == std::string::npos) return;
    for (size_t dot = joined.find('.'); dot < last; dot = joined.find('.', dot + 1)) {
        add(std::string_view(joined).substr(dot + 1));
    }
}

void NameWalk::add(std::string_view candidate) {
    Candidate entry{candidate.data(), candidate.size(), NameSet::hash(candidate)};
    if (count < inlineCapacity) {
        inlineCandidates[count] = entry;
    } else {
        if (spill.empty()) spill.assign(inlineCandidates, inlineCandidates + inlineCapacity);
        spill.push_back(entry);
    }
    ++count;
}

}  // namespace vesk
