// A busy producer's hand-over of the GIL to a writer holding a frame
// (let_writers_run), and the writer's signal that it finished one.
#include "handover.hpp"

#include <algorithm>
#include <atomic>
#include <new>

namespace stashel {

namespace {

// A producer that gives the GIL up to a busy writer waits at most this long
// for the writer to finish its frame...
constexpr auto kHandOver = std::chrono::microseconds(50);
// ...and does so again only after running this long itself, so that one
// writing back to back keeps most of its time and most calls cost nothing...
constexpr auto kBetweenHandOvers = std::chrono::microseconds(50);
// ...and not at all while the writer has held its frame this long: then it
// waits for the server, and nothing is gained by waiting with it.
constexpr auto kServerStall = std::chrono::milliseconds(50);

// When this thread's last hand-over ended, in steady-clock ticks.
thread_local Clock::rep last_hand_over = 0;

// Where such producers wait: a lock kept held, which a writer opens when it
// finishes a frame and a producer is waiting; the producer that gets it
// holds it again. Python's own lock, so the module needs no C library newer
// than the interpreter's. Process-wide and never destroyed; made anew in a
// forked child, where a thread that is not there may have been waiting.
struct HandOver {
    PyThread_type_lock gate = nullptr;
    std::atomic<bool> open{false};  // the gate is released: only then may a thread acquire it without waiting
    std::atomic<unsigned long long> frames{0};  // finished by any writer
    std::atomic<int> waiting{0};

    // Lets one waiting thread through. The gate is released only while held
    // (releasing a free lock is a fatal error on newer interpreters).
    void open_gate() {
        bool held = false;
        if (open.compare_exchange_strong(held, true)) {
            PyThread_release_lock(gate);
        }
    }
    // Waits up to `timeout_us` (0: not at all) for the gate and holds it
    // again. Call with the GIL released.
    void pass_gate(PY_TIMEOUT_T timeout_us) {
        if (PyThread_acquire_lock_timed(gate, timeout_us, 0) == PY_LOCK_ACQUIRED) {
            open = false;
        }
    }
};

HandOver* current_hand_over = nullptr;  // made on first use, and anew in a forked child

HandOver* hand_over() {
    if (current_hand_over == nullptr) {
        auto* fresh = new HandOver();
        fresh->gate = PyThread_allocate_lock();
        if (fresh->gate == nullptr) {
            delete fresh;
            throw std::bad_alloc();
        }
        PyThread_acquire_lock(fresh->gate, WAIT_LOCK);
        current_hand_over = fresh;
    }
    return current_hand_over;
}

}  // namespace

void frame_done() {
    HandOver* handing = hand_over();
    handing->frames.fetch_add(1);
    if (handing->waiting.load() > 0) {
        handing->open_gate();
    }
}

void reset_hand_over_after_fork() { current_hand_over = nullptr; }  // the parent's is left as it was

void let_writers_run(const WriterRecord& record) {
#ifndef Py_GIL_DISABLED
    const bool busy = std::any_of(record.loops.begin(), record.loops.end(),
                                  [](const auto& loop) { return loop->holding.serial != 0; });
    if (!busy || InQueueOperation::active() ||
        Clock::now() - Clock::time_point(Clock::duration(last_hand_over)) < kBetweenHandOvers) {
        return;  // nothing to hand over: the common case of a writer keeping up
    }
    {
        const unsigned long me = PyThread_get_thread_ident();
        const auto now = Clock::now();
        bool starved = false;
        for (const auto& loop : record.loops) {
            if (loop->thread == me) {
                return;  // the writer itself writes a frame
            }
            // A frame held this long waits for the server, not for the GIL.
            starved = starved || (loop->holding.serial != 0 && now - loop->holding.taken < kServerStall);
        }
        if (!starved) {
            return;
        }
    }
    HandOver* handing = hand_over();
    const auto before = handing->frames.load();
    Py_BEGIN_ALLOW_THREADS
    ++handing->waiting;
    // A release meant for a producer that had stopped waiting is taken back
    // first, so that the wait below waits.
    handing->pass_gate(0);
    if (handing->frames.load() == before) {
        handing->pass_gate(kHandOver.count());
    }
    --handing->waiting;
    last_hand_over = Clock::now().time_since_epoch().count();
    Py_END_ALLOW_THREADS
#else
    static_cast<void>(record);
#endif
}

}  // namespace stashel
