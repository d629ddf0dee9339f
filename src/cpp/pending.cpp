// The bookkeeping of pending frames (pending.hpp): tracking a frame as it
// moves between queued, parked and being written, the counts and waits, and
// the rules for a delete's withdrawal, the shutdown's discard and a forked
// child's reset. A producer's frame is in pending_offer.cpp, the writer's
// take in pending_take.cpp.
#include "pending.hpp"

#include <algorithm>
#include <utility>

namespace stashel {

// ---------------------------------------------------------------- bookkeeping

// Counted as accepted from the moment it can reach the queue; taken back if
// the call does not accept it after all.
Serial Pending::track(Borrowed item, Borrowed key) {
    ++counts_.accepted;
    Frame& frame = queued_.emplace_back();
    frame.serial = ++last_serial_;
    frame.item = Owned::ref(item);
    frame.key = Owned::ref(key);
    frame.order = ++last_order_;
    frame.accepted = Clock::now();
    return frame.serial;
}

void Pending::take_back(Serial serial, Released& released) {
    if (serial != 0 && queued(serial) != queued_.end()) {
        untrack(serial, released);
        --counts_.accepted;
    }
}

void Pending::note_wait(const Frame& frame) {
    const std::chrono::duration<float> waited = Clock::now() - frame.accepted;
    if (waits_.size() < kWaits) {
        waits_.push_back(waited.count());
    } else {
        waits_[next_wait_] = waited.count();
        next_wait_ = (next_wait_ + 1) % kWaits;
    }
}

std::vector<double> Pending::waits() const {
    std::vector<double> oldest_first;
    oldest_first.reserve(waits_.size());
    for (std::size_t i = 0; i < waits_.size(); ++i) {
        oldest_first.push_back(waits_[(next_wait_ + i) % waits_.size()]);
    }
    return oldest_first;
}

std::size_t Pending::pending() const {
    auto live = [](const Frame& frame) { return !frame.dropped; };
    std::size_t count = static_cast<std::size_t>(std::count_if(queued_.begin(), queued_.end(), live)) +
                        static_cast<std::size_t>(std::count_if(writing_.begin(), writing_.end(), live));
    for (const auto& [serial, frame] : parked_) {
        count += live(frame) ? 1 : 0;
    }
    return count;
}

Pending::Frames::iterator Pending::queued(PyObject* item) {
    return std::find_if(queued_.begin(), queued_.end(), [&](const Frame& f) { return f.item.get() == item; });
}

Pending::Frames::const_iterator Pending::queued(PyObject* item) const {
    return std::find_if(queued_.begin(), queued_.end(), [&](const Frame& f) { return f.item.get() == item; });
}

Pending::Frames::iterator Pending::queued(Serial serial) {
    return std::find_if(queued_.begin(), queued_.end(), [&](const Frame& f) { return f.serial == serial; });
}

Pending::Frames::iterator Pending::writing_frame(Serial serial) {
    return std::find_if(writing_.begin(), writing_.end(), [&](const Frame& f) { return f.serial == serial; });
}

void Pending::to_parked(const Frames::iterator& frame) {
    const Serial serial = frame->serial;
    Frame& parked = parked_[serial] = std::move(*frame);
    queued_.erase(frame);
    parked_keys_[parked.key.get()] = serial;
}

void Pending::let_go(Frame& frame, Released& released) {
    released.keep(std::move(frame.item));
    released.keep(std::move(frame.key));
}

void Pending::untrack(Serial serial, Released& released) {
    if (auto found = queued(serial); found != queued_.end()) {
        let_go(*found, released);
        queued_.erase(found);
    } else if (auto parked = parked_.find(serial); parked != parked_.end()) {
        parked_keys_.erase(parked->second.key.get());
        let_go(parked->second, released);
        parked_.erase(parked);
    } else if (auto writing = writing_frame(serial); writing != writing_.end()) {
        let_go(*writing, released);
        writing_.erase(writing);
    }
}

// Whether a frame of the same key accepted after `frame` is queued or parked.
bool Pending::newer_pending(const Frame& frame) const {
    auto newer = [&](const Frame& other) { return other.order > frame.order && !other.dropped; };
    if (std::any_of(queued_.begin(), queued_.end(),
                    [&](const Frame& other) { return newer(other) && same_key(other.key, frame.key); })) {
        return true;
    }
    auto parked = parked_keys_.find(frame.key.get());
    return parked != parked_keys_.end() && newer(parked_.at(parked->second));
}

// ---------------------------------------------------------------- deletes, shutdown, fork

std::vector<Serial> Pending::withdraw(Borrowed key) {
    Released released;
    for (Frame& frame : queued_) {
        if (!frame.dropped && same_key(frame.key, key)) {
            frame.dropped = true;
            ++counts_.withdrawn;
        }
    }
    if (auto parked = parked_keys_.find(key.get()); parked != parked_keys_.end()) {
        Frame& frame = parked_.at(parked->second);
        if (!frame.dropped) {
            frame.dropped = true;
            ++counts_.withdrawn;
            // Its place and count stay until the writer reaches it; the frame need not.
            released.keep(std::exchange(frame.item, Owned::ref(Py_None)));
        }
    }
    std::vector<Serial> being_written;
    for (const Frame& frame : writing_) {
        if (same_key(frame.key, key)) {
            being_written.push_back(frame.serial);
        }
    }
    return being_written;
}

bool Pending::writing(Serial serial) const {
    return std::any_of(writing_.begin(), writing_.end(), [&](const Frame& f) { return f.serial == serial; });
}

void Pending::delete_after(Serial serial) {
    if (auto found = writing_frame(serial); found != writing_.end()) {
        found->delete_after = true;
    }
}

bool Pending::take_delete_after(Serial serial) {
    auto found = writing_frame(serial);
    return found != writing_.end() && std::exchange(found->delete_after, false);
}

void Pending::discard() {
    closed_ = true;
    Released released;
    parked_keys_.clear();
    for (Frame& frame : queued_) {
        counts_.discarded += frame.dropped ? 0 : 1;
        let_go(frame, released);
    }
    for (auto& [serial, frame] : parked_) {
        counts_.discarded += frame.dropped ? 0 : 1;
        let_go(frame, released);
    }
    queued_.clear();
    parked_.clear();
}

void Pending::forget() {
    Released released;
    counts_.discarded += pending();  // the parent's: never written here
    parked_keys_.clear();
    for (Frames* frames : {&queued_, &writing_}) {
        for (Frame& frame : *frames) {
            let_go(frame, released);
        }
        frames->clear();
    }
    for (auto& [serial, frame] : parked_) {
        let_go(frame, released);
    }
    parked_.clear();
}

}  // namespace stashel
