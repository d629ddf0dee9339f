// The frames a threaded instance has accepted and not yet settled, and every
// rule of their fate: what a producer's frame write does with the queue, what
// the writer takes, what a delete withdraws, what the shutdown discards and
// what a forked child forgets. The rules are in pending_offer.cpp (a
// producer's frame), pending_take.cpp (the writer's take) and pending.cpp
// (the bookkeeping, the withdrawal, the discard and the reset).
//
// An accepted frame is, until it is settled:
//   queued   in the instance's queue.Queue: put there by put_nowait, or moved
//            there by the writer from the parked frames;
//   parked   waiting behind a full queue: at most one per key, that key's
//            newest, kept in the order the key became parked;
//   writing  taken by a writer loop.
// It is settled as stored, refused or failed (written), superseded (a newer
// frame of its key took its place before the writer reached it), withdrawn (a
// delete of its key took it back) or discarded (still pending when the
// shutdown dropped the queue).
//
// The rules hold because every decision and its action are made with the GIL
// held and no Python code run in between; the queue's lock is taken only
// where the queue's own state changes with it (its deque, unfinished_tasks):
//   - A producer never waits while fewer than kCap keys are parked: its frame
//     replaces the parked frame of its key, or is parked behind the others, or
//     goes to the queue with put_nowait; a full queue drops its head only when
//     a newer frame of the head's key is pending (one key's stream: the
//     drop-oldest path's get_nowait, task_done and put_nowait), else the frame is parked.
//   - Every queued frame arrived before every parked one: while frames are
//     parked, new keys park too, and the writer, which takes the queue's head,
//     moves the oldest parked frame in behind the queue's tail. So keys are
//     stored in the order they became pending, none starves, and one key's
//     frames are stored in the order they were written. A key's frames still
//     queued when it parks a newer one are superseded by it.
//   - Each queued or parked frame holds one count of the queue's
//     unfinished_tasks until the writer has taken and settled it (a frame that
//     replaces another takes over its count), so join() returns only once
//     every accepted frame is settled.
//   - A frame the drop-oldest path takes out of the queue is decided on as what
//     it is when it comes out: superseded, withdrawn, or parked at the front.
//     Nothing answered true is lost in between.
//   - No reference is let go, and no Python code but the queue's own notify
//     runs, while this module holds the queue's lock (a finalizer could wait
//     for that lock).
// A `_queue` that is not a queue.Queue gets the plain drop-oldest calls, untracked; a
// queue.Queue with storage of its own is tracked but never parks.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <vector>

#include "queue_access.hpp"

namespace stashel {

using Serial = unsigned long long;

// The frame a writer loop holds, from the moment it is taken (under the
// queue's lock, with no Python code run since) until the loop has marked it
// done: what a busy producer looks at to hand the GIL over.
struct Holding {
    Serial serial = 0;  // 0 while idle
    Clock::time_point taken;
};

// What a writer loop took.
struct Taken {
    Owned item;
    Serial serial = 0;     // 0: an item this module did not queue (a caller's own put)
    bool dropped = false;  // superseded or withdrawn while pending: settled without a write
};

enum class Outcome : unsigned char { Stored, Refused, Failed };

// Accepted frames by fate, since the instance's record was made. Each count
// moves at the moment the frame's fate is decided, so at every moment
// accepted == stored + refused + failed + superseded + withdrawn + discarded
// + pending.
struct FrameCounts {
    unsigned long long accepted = 0, stored = 0, refused = 0, failed = 0, superseded = 0, withdrawn = 0, discarded = 0;
};

class Pending {
public:
    // Parked keys past which a producer waits for room (at most 0.5 s).
    static constexpr std::size_t kCap = 10000;

    Pending() = default;
    // Not noexcept: see Owned.
    ~Pending() noexcept(false) { forget(); }  // NOLINT(bugprone-unsafe-to-allow-exceptions)
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;

    // A producer's frame (`data`, `key`, `ttl`) for `queue`: true once it is
    // accepted, false when it is to be written on the caller's thread.
    // `on_writer`: the caller is a writer loop of this instance, which cannot
    // wait for itself to make room.
    bool offer(const Call& c, Borrowed queue, Borrowed data, Borrowed key, Borrowed ttl, bool on_writer);

    // The writer's next item from `queue` or the parked frames, waiting up to
    // 0.2 s for one when `wait` is true (and no longer once the stop event is
    // set). Empty when nothing came, or once the shutdown has discarded.
    Taken take(const Call& c, Borrowed queue, bool wait, Holding& holding);
    // The writer is done with what it took; `outcome` of a written frame.
    void settle(const Taken& taken, Outcome outcome);

    // Before a delete of `key`: withdraws its queued and parked frames, and
    // returns those being written.
    std::vector<Serial> withdraw(Borrowed key);
    [[nodiscard]] bool writing(Serial serial) const;
    // The delete stopped waiting for this write: the writer deletes again after it.
    void delete_after(Serial serial);
    // Asked once by the writer after its write.
    bool take_delete_after(Serial serial);

    // The shutdown drops the queue: what is still queued or parked is
    // discarded, and nothing is accepted or taken until `reopen`.
    void discard();
    void reopen() { closed_ = false; }
    // In a forked child: the parent's frames are the parent's. Nothing a
    // writer loop still running on this thread uses is freed.
    void forget();

    [[nodiscard]] const FrameCounts& counts() const { return counts_; }
    // Accepted frames not yet settled: queued, parked or being written.
    [[nodiscard]] std::size_t pending() const;
    // Seconds from acceptance to the writer taking the frame, for the last
    // kWaits frames it took, oldest first.
    [[nodiscard]] std::vector<double> waits() const;
    static constexpr std::size_t kWaits = 1000;

private:
    struct Frame {
        Serial serial = 0;  // its place in line while parked
        Owned item;         // the (data, key, ttl) tuple; None once a parked frame is withdrawn
        Owned key;          // exact str
        Serial order = 0;   // when it was accepted, or replaced a parked frame
        Clock::time_point accepted;
        bool dropped = false;  // superseded or withdrawn: its count waits for the writer
        bool delete_after = false;
    };
    // A vector, not a deque: few frames, and a deque's map growth needs a
    // newer libstdc++ than the wheels' manylinux tag admits.
    using Frames = std::vector<Frame>;
    struct KeyOrder {
        bool operator()(PyObject* a, PyObject* b) const { return PyUnicode_Compare(a, b) < 0; }
    };

    bool offer_tracked(const Call& c, Borrowed queue, Owned& item, Borrowed key, Serial serial, bool fifo,
                       bool on_writer, bool& accepted, Released& released);
    bool park(Borrowed queue, Borrowed item, Borrowed key, Serial serial, bool on_writer, bool& accepted,
              Released& released);
    bool wait_below_cap(bool on_writer);
    bool replace_parked(Borrowed key, Borrowed item, Released& released);
    [[nodiscard]] bool head_may_go(Borrowed queue, Borrowed incoming_key) const;
    void drop_head(Borrowed queue, Borrowed incoming_key, Released& released);
    bool settle_dropped(Borrowed item, Borrowed incoming_key, Released& released);
    [[nodiscard]] bool newer_pending(const Frame& frame) const;
    void supersede_queued(Borrowed key);

    Taken take_locked(const Call& c, Borrowed queue, bool wait, bool fifo, Holding& holding);
    Taken claim(Owned item, Holding& holding);
    Taken claim_parked(Holding& holding);
    bool refill(Borrowed queue, Borrowed deque, Released& released);

    Serial track(Borrowed item, Borrowed key);
    void take_back(Serial serial, Released& released);
    void note_wait(const Frame& frame);
    Frames::iterator queued(PyObject* item);
    Frames::iterator queued(Serial serial);
    Frames::const_iterator queued(PyObject* item) const;
    Frames::iterator writing_frame(Serial serial);
    void to_parked(const Frames::iterator& frame);
    void untrack(Serial serial, Released& released);
    static void let_go(Frame& frame, Released& released);

    // Few frames are queued or being written at a time (the queue's bound, one
    // per writer loop): kept in line, searched from the front.
    Frames queued_;                                      // queued, oldest first
    std::map<Serial, Frame> parked_;                     // parked, oldest first
    std::map<PyObject*, Serial, KeyOrder> parked_keys_;  // the parked frame of each key, by Frame::key
    Frames writing_;
    Serial last_serial_ = 0;
    Serial last_order_ = 0;
    bool closed_ = false;
    FrameCounts counts_;
    std::vector<float> waits_;  // a ring of kWaits, `next_wait_` its oldest once full
    std::size_t next_wait_ = 0;
};

// The plain drop-oldest path, for a `_queue` this module does not track.
bool offer_untracked(const Call& c, Borrowed queue, Borrowed data, Borrowed key, Borrowed ttl);

}  // namespace stashel
