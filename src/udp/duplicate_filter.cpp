#include "udp/duplicate_filter.h"

namespace wirekit::udp {

bool sequenceAfter(std::int32_t later, std::int32_t earlier) {
    // The difference is taken in unsigned arithmetic, which wraps by
    // definition; "ahead" means a distance of 1 to 2^31 - 1.
    std::uint32_t distance =
        static_cast<std::uint32_t>(later) - static_cast<std::uint32_t>(earlier);
    return distance != 0 && distance < 0x80000000u;
}

DuplicateFilter::DuplicateFilter(std::size_t capacity) : capacity_(capacity > 0 ? capacity : 1) {}

void DuplicateFilter::touch(Entry& entry) { ages_.splice(ages_.begin(), ages_, entry.age); }

bool DuplicateFilter::isDuplicate(const SenderKey& sender, std::int32_t sequence) {
    auto it = entries_.find(sender);
    if (it == entries_.end()) return false;
    touch(it->second);
    return !sequenceAfter(sequence, it->second.last);
}

void DuplicateFilter::accept(const SenderKey& sender, std::int32_t sequence) {
    auto it = entries_.find(sender);
    if (it != entries_.end()) {
        it->second.last = sequence;
        touch(it->second);
        return;
    }
    if (entries_.size() >= capacity_) {
        entries_.erase(ages_.back());
        ages_.pop_back();
    }
    ages_.push_front(sender);
    entries_.emplace(sender, Entry{sequence, ages_.begin()});
}

}  // namespace wirekit::udp
