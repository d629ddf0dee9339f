// The record of each threaded instance (records.hpp): the process-wide
// table, each writer loop's entry, a delete's bounded wait for a write of its
// key, the counts of the process, and the reset after a fork.
#include "records.hpp"

#include <algorithm>
#include <map>
#include <new>
#include <utility>

#include "handover.hpp"
#include "names.hpp"
#include "pycall.hpp"

namespace stashel {

namespace {

// Process-wide and never destroyed, like the interned names: destroying it at
// process exit would release references after the interpreter is gone.
// Keyed by the instance's address; the weak reference tells whether the
// record still belongs to the object living there.
std::map<PyObject*, RecordRef>& records() {
    static auto* all = new std::map<PyObject*, RecordRef>();
    return *all;
}

// What the records of instances gone had counted.
ProcessCounts& retired() {
    static ProcessCounts counts;
    return counts;
}

void add(ProcessCounts& to, const WriterRecord& record) {
    const FrameCounts& c = record.pending.counts();
    FrameCounts& t = to.frames;
    t.accepted += c.accepted;
    t.stored += c.stored;
    t.refused += c.refused;
    t.failed += c.failed;
    t.superseded += c.superseded;
    t.withdrawn += c.withdrawn;
    t.discarded += c.discarded;
    to.publish_failed += record.publish_failed;
}

// A record leaves the table: its frames are let go (counted as discarded)
// and its counts kept.
void retire(WriterRecord& record) {
    record.pending.forget();
    add(retired(), record);
}

// Loops of a parent process that a forked child carries on in (the forking
// thread ran one): kept, since that loop still reads its state.
std::vector<std::unique_ptr<LoopState>>& orphaned_loops() {
    static auto* all = new std::vector<std::unique_ptr<LoopState>>();
    return *all;
}

Owned instance_of(const WriterRecord& record) {
    return Owned::steal_or_null(compat::weakref_target(record.instance.get()));
}

void forget_the_gone() {
    ReleaseLater<RecordRef> gone;  // declared first: let go once the map is consistent again
    auto& all = records();
    for (auto it = all.begin(); it != all.end();) {
        if (!instance_of(*it->second)) {
            retire(*it->second);
            gone.keep(std::move(it->second));
            it = all.erase(it);
        } else {
            ++it;
        }
    }
}

// Waits until each write in `writing` has ended, at most 0.5 s; a write still
// going then deletes its key again once it is done.
void wait_for(Pending& pending, std::vector<Serial> writing) {
    const bool ended = wait_until(std::chrono::milliseconds(500), [&] {
        writing.erase(std::remove_if(writing.begin(), writing.end(), [&](Serial s) { return !pending.writing(s); }),
                      writing.end());
        return writing.empty();
    });
    if (!ended) {
        for (Serial serial : writing) {
            pending.delete_after(serial);
        }
    }
}

}  // namespace

RecordRef find_record(Borrowed instance) {
    auto found = records().find(instance.get());
    if (found == records().end() || instance_of(*found->second).get() != instance.get()) {
        return nullptr;
    }
    return found->second;
}

RecordRef writer_record(Borrowed instance) {
    if (RecordRef record = find_record(instance)) {
        return record;
    }
    forget_the_gone();
    Owned weak = Owned::steal(PyWeakref_NewRef(instance.get(), nullptr));
#if defined(__GLIBCXX__)
    RecordRef record = std::__make_shared<WriterRecord, __gnu_cxx::_S_single>(std::move(weak));
#else
    RecordRef record = std::make_shared<WriterRecord>(std::move(weak));
#endif
    // Replaces the record of a collected instance that lived at this address.
    RecordRef previous = std::exchange(records()[instance.get()], record);
    if (previous) {
        retire(*previous);
    }
    return record;
}

void forget_writer(Borrowed instance) {
    if (find_record(instance)) {
        ReleaseLater<RecordRef> gone;
        auto found = records().find(instance.get());
        WriterRecord& record = *found->second;
        gone.keep(std::move(found->second));
        records().erase(found);
        retire(record);
    }
}

WriterLoop::WriterLoop(Borrowed instance) : record_(writer_record(instance)) {
    record_->loops.push_back(std::make_unique<LoopState>());
    state_ = record_->loops.back().get();
    state_->thread = PyThread_get_thread_ident();
}

WriterLoop::~WriterLoop() noexcept(false) {  // NOLINT(bugprone-unsafe-to-allow-exceptions): see the header
    if (!may_touch_python()) {
        // Unwound at exit without the GIL: the loop's state and the record
        // stay as they are, for the dying process.
        static_cast<void>(new RecordRef(std::move(record_)));
        return;
    }
    auto& loops = record_->loops;
    auto mine = std::find_if(loops.begin(), loops.end(), [&](const auto& loop) { return loop.get() == state_; });
    if (mine != loops.end()) {  // an orphan of a fork is kept for good
        loops.erase(mine);
    }
}

bool WriterLoop::orphaned() const {
    const auto& loops = record_->loops;
    return std::none_of(loops.begin(), loops.end(), [&](const auto& loop) { return loop.get() == state_; });
}

Taken WriterLoop::take(const Call& c, Borrowed queue, bool wait) {
    return record_->pending.take(c, queue, wait, state_->holding);
}

void WriterLoop::settle(const Taken& taken, Outcome outcome) { record_->pending.settle(taken, outcome); }

void WriterLoop::done() {
    state_->holding.serial = 0;
    frame_done();
}

void settle_writes_of(const Call& c, Borrowed key) {
    RecordRef record = find_record(c.self());
    if (!record) {
        return;
    }
    std::vector<Serial> writing = record->pending.withdraw(key);
    if (writing.empty()) {
        return;
    }
    // No wait where it could not end: on the writer itself (a client or
    // logger it calls deletes), in code that interrupted this thread's own
    // queue operation (its lock may be what the writer needs next), or while
    // the interpreter finalizes (a daemon writer may never run again).
    if (is_writer_thread(*record) || InQueueOperation::active() || compat::is_finalizing()) {
        for (Serial serial : writing) {
            record->pending.delete_after(serial);
        }
        return;
    }
    wait_for(record->pending, std::move(writing));
}

void count_publish_failure(Borrowed instance) { ++writer_record(instance)->publish_failed; }

ProcessCounts process_counts() {
    ProcessCounts counts = retired();
    for (const auto& [address, record] : records()) {
        add(counts, *record);
        counts.pending += record->pending.pending();
    }
    return counts;
}

bool is_writer_thread(const WriterRecord& record) {
    const unsigned long me = PyThread_get_thread_ident();
    return std::any_of(record.loops.begin(), record.loops.end(), [&](const auto& loop) { return loop->thread == me; });
}

bool is_writer_thread(Borrowed instance) {
    RecordRef record = find_record(instance);
    return record && is_writer_thread(*record);
}

std::vector<Owned> recorded_instances() {
    std::vector<Owned> instances;
    for (const auto& [address, record] : records()) {
        if (Owned instance = instance_of(*record)) {
            instances.push_back(std::move(instance));
        }
    }
    return instances;
}

std::vector<Owned> writers_after_fork() {
    forget_the_gone();
    // The parent's writers do not exist here, and its pending frames are the
    // parent's. The loop the forking thread may be running keeps its state.
    reset_hand_over_after_fork();
    auto& orphans = orphaned_loops();
    for (auto& [address, record] : records()) {
        std::move(record->loops.begin(), record->loops.end(), std::back_inserter(orphans));
        record->loops.clear();
        record->pending.forget();
    }
    return recorded_instances();
}

}  // namespace stashel
