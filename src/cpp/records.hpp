// The record of each threaded instance: what its background writers are
// doing, kept beside the instance rather than in it (its six attributes
// belong to its callers): its pending frames (pending.hpp), its running
// writer loops, a delete's wait for a write of its key, the process's counts,
// and the reset after a fork. The GIL hand-over is in handover.hpp.
#pragma once

#include <memory>
#include <vector>

#include "pending.hpp"

namespace stashel {

// One running writer loop, as producers and deletes see it.
struct LoopState {
    unsigned long thread = 0;
    Holding holding;
};

// Guarded by the GIL, like everything here.
struct WriterRecord {
    Owned instance;  // a weak reference
    Pending pending;
    std::vector<std::unique_ptr<LoopState>> loops;
    unsigned long long publish_failed = 0;  // notifications not sent after a stored write, on any path

    explicit WriterRecord(Owned weak) : instance(std::move(weak)) {}
};

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

// The record of `instance`, or none.
RecordRef find_record(Borrowed instance);

// Forgets `instance` again (its writer could not be started).
void forget_writer(Borrowed instance);

// A notification after a stored write of `instance` could not be sent.
void count_publish_failure(Borrowed instance);

// The counts of every instance in the process, those of instances gone
// included (so that they never go down), and the frames pending now.
struct ProcessCounts {
    FrameCounts frames;
    unsigned long long publish_failed = 0;
    unsigned long long pending = 0;
};
ProcessCounts process_counts();

// A writer loop of `instance`, listed in its record for as long as this
// lives. Only the thread running the loop uses it.
class WriterLoop {
public:
    explicit WriterLoop(Borrowed instance);
    // Not noexcept: see Owned.
    ~WriterLoop() noexcept(false);  // NOLINT(bugprone-unsafe-to-allow-exceptions)
    WriterLoop(const WriterLoop&) = delete;
    WriterLoop& operator=(const WriterLoop&) = delete;

    // The next item (Pending::take), held by this loop until done().
    Taken take(const Call& c, Borrowed queue, bool wait);
    // Its fate, once written or skipped (Pending::settle).
    void settle(const Taken& taken, Outcome outcome);
    // Marked done too: the loop holds no frame, and a producer waiting to
    // hand the GIL over goes on.
    void done();
    Pending& pending() { return record_->pending; }
    // This thread forked, and the child carries on in the loop it ran: the
    // child's own writer is another one, so this loop ends after its frame.
    [[nodiscard]] bool orphaned() const;

private:
    RecordRef record_;
    LoopState* state_;
};

// Before a delete of `key`: withdraws the key's pending frames and waits, at
// most 0.5 s, for a write of the key in progress; a write still running then
// deletes the key again once it is done. So no frame queued before the
// delete is left standing after it.
void settle_writes_of(const Call& c, Borrowed key);

// True when the current thread runs a writer loop of `instance`.
bool is_writer_thread(Borrowed instance);
bool is_writer_thread(const WriterRecord& record);

// The instances whose records are alive, threaded or not.
std::vector<Owned> recorded_instances();

// After a fork, in the child: forgets what the parent's writers were doing
// and returns the recorded instances.
std::vector<Owned> writers_after_fork();

}  // namespace stashel
