// Simplification of a layout's polygons while the layout is still being
// read (no Python).  The reader tells each cell as soon as its shapes are
// final; worker threads convert that cell's polygons to micrometres and
// simplify those that simplification has to see, on the cores the read
// leaves free.  The parse then takes each outline ready-made instead of
// simplifying it afterwards.  Every outline is simplified on its own, so
// the result is the same as simplifying the parse's outlines in one batch.
//
// Large outlines are also told while their cell is still being read (a
// layout of one large cell would otherwise leave the workers idle for the
// whole read): copies of their points are simplified at once, and the
// cell's shapes with the same points take those outlines.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "lumino/core/read/gds.hpp"
#include "lumino/core/simplify/simplify.hpp"
#include "lumino/core/model/tree.hpp"

namespace lumino::core {

class Presimplifier : public CellSink {
    // Shape `shape` of a job has the same points as shape `of` of job `job`,
    // so it takes a copy of that one's outline, if one is made.
    struct Copy {
        uint32_t shape, of;
        size_t job;
    };
    // Shapes [begin, end) of one cell's list on layer `at`, and the outlines
    // made of them: outlines[j] is shape shape[j]'s, in increasing order.
    struct Job {
        size_t index = 0;  // in jobs_
        uint32_t ci = 0;
        size_t at = 0, begin = 0, end = 0;
        // The list's buffers, unchanged until finish() (the list itself may move).
        const int32_t* xy = nullptr;
        const uint64_t* start = nullptr;
        const uint8_t* polygon = nullptr;
        double unit = 0.0;
        size_t points = 0;
        std::vector<uint32_t> shape;
        std::vector<Outline> outlines;
        std::vector<Copy> copies;  // in increasing shape order
        // An early job (of outlines told before their cell) owns its points
        // and belongs to no cell.
        bool early = false;
        Shapes own;
    };
    // The first shape seen with given points, by a hash of them.
    struct First {
        const int32_t* xy;
        size_t values;
        double unit;
        size_t job;
        uint32_t shape;
    };

  public:
    // A worker starts only once this many points wait: fewer take less time
    // than starting and joining a thread (about 0.05 ms, some 400 points).
    static constexpr size_t kWorkerPoints = 2048;

    // Uses up to `workers` threads besides the reading one, each started
    // once `worker_points` points wait for it (fewer where they cannot
    // start; none leaves all the work to finish()).
    Presimplifier(double tolerance, const simplify::Rules& rules, unsigned workers,
                  const simplify::ThreadStarter& starter = simplify::start_std_thread,
                  size_t worker_points = kWorkerPoints);
    ~Presimplifier() override;
    Presimplifier(const Presimplifier&) = delete;
    Presimplifier& operator=(const Presimplifier&) = delete;

    // CellSink, on the reading thread.
    void cell_read(uint32_t ci, const Cell& cell, double dbu) override;
    void outline_read(const int32_t* xy, size_t points, double dbu) override;
    void read_declined() override;

    // After a read that succeeded: does what is left on the calling thread
    // too and waits for the workers.  The layout's shapes must stay as they
    // are until it returns.
    void finish();

    // After finish(): whether the outlines were made for this tolerance and
    // unit (the parse takes them only then).
    bool fits(double tolerance, double unit) const;

    // The outlines made of cell `ci`'s shapes on layer `at`: take(k), for
    // k increasing, moves out the outline of shape k where one was made.
    class Cursor {
      public:
        Outline* take(size_t k);

      private:
        friend class Presimplifier;
        std::deque<Job>* jobs_ = nullptr;
        size_t job_ = 0, end_ = 0, next_ = 0;
    };
    Cursor cursor(uint32_t ci, size_t at);

  private:
    void work();
    // Starts workers for `waiting` jobs of `points` points in all.
    void start_workers(size_t waiting, size_t points);
    void queue(std::vector<Job>& made);
    void run(Job& job, simplify::EachSimplifier& each);
    bool copies_one(Job& job, uint32_t k, const int32_t* xy, size_t values);
    void fill_copies();
    void stop();

    double tolerance_;
    simplify::Rules rules_;
    double unit_ = 0.0;
    bool unit_known_ = false, unit_same_ = true;
    std::deque<Job> jobs_;      // references stay valid while jobs are added
    std::vector<size_t> queue_;  // the jobs in the order they are taken
    size_t next_ = 0;           // the next entry of queue_ to take
    size_t waiting_points_ = 0;  // the points of the jobs not yet taken
    bool closed_ = false;   // no more jobs come
    bool dropped_ = false;  // the read declined: no more work
    std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<std::thread> workers_;
    size_t max_workers_;
    simplify::ThreadStarter starter_;
    size_t worker_points_;
    std::mutex firsts_mutex_;
    std::unordered_multimap<uint64_t, First> firsts_;  // shapes worth sharing, by workers
    std::vector<std::pair<size_t, size_t>> cell_jobs_;  // after finish(): by cell, its jobs
    Job early_;                  // outlines told, not yet queued
    size_t early_points_ = 0;    // points copied for early jobs so far
    bool finished_ = false;
};

}  // namespace lumino::core
