// What the background writer of each threaded instance is doing, kept
// beside the instance rather than in it (its six attributes belong to its
// callers), and the queue operations that must agree with it: the writer's
// take, the delete's withdrawal of pending frames, the shutdown's wake-up.
#pragma once

#include <memory>
#include <vector>

#include "method.hpp"

namespace stashel {

struct WriterRecord;

// Records are shared only while the GIL is held, so their counts need no
// atomics. With libstdc++ the plain policy also keeps the module off glibc
// 2.32's __libc_single_threaded, which the atomic one reads and which would
// raise the wheels' manylinux tag from 2_24 to 2_34.
#if defined(__GLIBCXX__)
using RecordRef = std::__shared_ptr<WriterRecord, __gnu_cxx::_S_single>;
#else
using RecordRef = std::shared_ptr<WriterRecord>;
#endif

// The record of `instance`, made now if it has none. Construction makes it
// before the writer starts, so that a fork right after construction finds it.
RecordRef writer_record(Borrowed instance);

// Forgets `instance` again (its writer could not be started).
void forget_writer(Borrowed instance);

// An item the writer took, with its claim on it: while this lives, the record
// names the item's key and a delete of that key waits for the write to end.
class TakenItem {
public:
    TakenItem() = default;
    TakenItem(Owned item, RecordRef record);
    // Not noexcept: dropping the claim releases a reference (see Owned).
    ~TakenItem() noexcept(false);  // NOLINT(bugprone-unsafe-to-allow-exceptions)
    TakenItem(TakenItem&& other) noexcept = default;
    TakenItem& operator=(TakenItem&&) = delete;
    TakenItem(const TakenItem&) = delete;
    TakenItem& operator=(const TakenItem&) = delete;

    [[nodiscard]] Borrowed item() const { return item_; }
    explicit operator bool() const { return static_cast<bool>(item_); }

private:
    Owned item_;
    RecordRef record_;
};

// The writer's next item from `queue`: waiting up to 0.2 s for one when
// `wait` is true (and no longer once the stop event is set), else only what
// is pending now. Empty when nothing came.
TakenItem take_item(const Call& c, const RecordRef& record, Borrowed queue, bool wait);

// Wakes a writer waiting on `queue`, so that it looks at its stop event now.
void wake_writer(Borrowed queue);

// Before a delete of `key`: withdraws the key's pending frames from the
// instance's queue and waits for a write of the key in progress, so that no
// frame queued before the delete can land after it.
void settle_writes_of(const Call& c, Borrowed key);

// After a fork, in the child: forgets what the parent's writers were doing
// and returns the instances that were threaded.
std::vector<Owned> writers_after_fork();

}  // namespace stashel
