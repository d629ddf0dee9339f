// What the background writers of each threaded instance are doing, kept
// beside the instance rather than in it (its six attributes belong to its
// callers), and the queue operations that must agree with it: the writer's
// take, a full queue's choice of the frame to drop, a delete's withdrawal of
// pending frames, the shutdown's wake-up and the reset after a fork.
#pragma once

#include <chrono>
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

// One writer loop's hold on the frame it is writing. Listed in its record
// while the loop runs, so that producers and deletes can see it.
struct Claim {
    Owned key;                      // the key of the frame being written; empty while idle
    Owned follow_up;                // a newer frame of that key, written right after it
    unsigned long long serial = 0;  // of the item held; unique in the process
    std::chrono::steady_clock::time_point taken;
    unsigned long thread = 0;
    bool delete_after = false;  // a delete stopped waiting: delete the key again once written
};

// The record of `instance`, made now if it has none. Construction makes it
// before the writer starts, so that a fork right after construction finds it.
RecordRef writer_record(Borrowed instance);

// Forgets `instance` again (its writer could not be started).
void forget_writer(Borrowed instance);

// A writer loop's claim, listed in the record of `instance` for as long as
// this lives. Only the thread running the loop uses it.
class WriterLoop {
public:
    explicit WriterLoop(Borrowed instance);
    // Not noexcept: see Owned.
    ~WriterLoop() noexcept(false);  // NOLINT(bugprone-unsafe-to-allow-exceptions)
    WriterLoop(const WriterLoop&) = delete;
    WriterLoop& operator=(const WriterLoop&) = delete;

    Claim& claim() { return *claim_; }
    // True when a delete withdrew `item` while it was pending: it is not written.
    bool withdrawn(Borrowed item);
    // After an item: the newer frame of its key that arrived meanwhile, now
    // claimed, or else nothing, with the claim let go.
    Owned next(bool keep_follow_up);
    // Lets the claim go, whatever it holds.
    void release();

private:
    RecordRef record_;
    Claim* claim_;
};

// The writer's next item from `queue`, claimed by `loop` before any other
// thread can look: waiting up to 0.2 s for one when `wait` is true (and no
// longer once the stop event is set), else only what is pending now. Empty
// when nothing came.
Owned take_item(const Call& c, WriterLoop& loop, Borrowed queue, bool wait);

// What a producer does with a frame that a full queue refused.
enum class Overflow : unsigned char {
    DropOldest,   // only this key's frames are pending, or the queue is no plain FIFO queue.Queue: as ever
    Removed,      // a superseded or withdrawn frame was taken out: mark it done, put again
    Retry,        // the writer made room meanwhile: put again
    Queued,       // attached behind the writer's frame of the same key
    WaitForRoom,  // nothing pending is superseded: wait for the writer to take a frame
};
// Decides, under the queue's lock, how `item` (a frame of `key`) gets in.
Overflow make_room(const Call& c, Borrowed queue, Borrowed item, Borrowed key);

// While it lives, this thread is inside one of this module's queue
// operations and may hold the queue's lock; `active()` tells code that
// interrupts it on the same thread (a signal handler, a finalizer).
class InQueueOperation {
public:
    InQueueOperation();
    ~InQueueOperation();
    InQueueOperation(const InQueueOperation&) = delete;
    InQueueOperation& operator=(const InQueueOperation&) = delete;
    static bool active();
};

// After a queued frame: while a writer of `instance` holds a frame, gives the
// GIL up until that frame is written, at most 0.05 ms, and at most once per
// 0.05 ms of the calling thread's own time. A producer that
// computes in Python would otherwise keep the GIL from the writer for a
// whole switch interval (5 ms) each time the writer needs it, several times
// per frame.
void let_writers_run(Borrowed instance);

// Wakes a writer waiting on `queue`, so that it looks at its stop event now.
void wake_writer(Borrowed queue);

// Before a delete of `key`: withdraws the key's pending frames and waits, at
// most 0.5 s, for a write of the key in progress; a write still running then
// deletes the key again once it is done. So no frame queued before the
// delete is left standing after it.
void settle_writes_of(const Call& c, Borrowed key);

// True when the current thread runs a writer loop of `instance`.
bool is_writer_thread(Borrowed instance);

// The instances whose records are alive, threaded or not.
std::vector<Owned> recorded_instances();

// After a fork, in the child: forgets what the parent's writers were doing
// and returns the recorded instances.
std::vector<Owned> writers_after_fork();

}  // namespace stashel
