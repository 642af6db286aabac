// The presimplifier: jobs of a few thousand points, taken by worker threads
// as the reader hands out cells, and by the reading thread once it is done.
#include "lumino/core/simplify/presimplify.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

namespace lumino::core {

namespace {

// Points per job: enough to outweigh taking it, few enough to share a
// large cell between the threads.
constexpr size_t kJobPoints = 2048;

// Whether shape k is one the presimplifier takes: three points or more,
// with an edge that is neither horizontal nor vertical.  The others (the
// rectangles and other Manhattan outlines that are most shapes of a chip's
// layout) are never simplified: the parse keeps their points.  Equal
// integers give equal micrometres, so every shape that needs_simplifying
// picks is taken.
bool taken(const uint8_t* polygon, const uint64_t* start, const int32_t* xy, size_t k) {
    if (!polygon[k]) return false;
    const size_t n = size_t(start[k + 1] - start[k]);
    return n >= 3 && !is_manhattan(xy + 2 * start[k], 2 * n);
}

// At most this many points are copied for early jobs in one read (32 MB).
constexpr size_t kEarlyPointsAtMost = size_t(1) << 22;

// Shapes of at least this many points are looked up among those seen before:
// a layout often holds one curved shape in several cells, and simplifying
// it once is worth a hash of its points.
constexpr size_t kShareFrom = 32;

// A hash of the point count and of about 16 points spread over the shape:
// shapes with equal hashes are compared point for point.
uint64_t hash_of(const int32_t* xy, size_t values) {
    const size_t points = values / 2, step = std::max<size_t>(1, points / 16);
    uint64_t h = 0x9E3779B97F4A7C15ull ^ values;
    for (size_t k = 0; k < points; k += step) {
        const uint64_t v = uint64_t(uint32_t(xy[2 * k])) << 32 | uint32_t(xy[2 * k + 1]);
        h = (h ^ v) * 0xFF51AFD7ED558CCDull;
        h ^= h >> 32;
    }
    return h;
}

}  // namespace

Presimplifier::Presimplifier(double tolerance, const simplify::Rules& rules, unsigned workers,
                             const simplify::ThreadStarter& starter, size_t worker_points)
    : tolerance_(tolerance), rules_(rules), max_workers_(workers), starter_(starter), worker_points_(worker_points) {
    workers_.reserve(workers);  // a started thread is always kept
}

void Presimplifier::start_workers(size_t waiting, size_t points) {
    if (points < worker_points_) return;
    while (workers_.size() < max_workers_ && workers_.size() < waiting) {
        try {
            workers_.push_back(starter_([this] { work(); }));
        } catch (const std::system_error&) {
            max_workers_ = workers_.size();  // the others, or finish(), do its share
        }
    }
}

Presimplifier::~Presimplifier() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dropped_ = true;
    }
    stop();
}

void Presimplifier::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    ready_.notify_all();
    for (std::thread& t : workers_)
        if (t.joinable()) t.join();
}

void Presimplifier::cell_read(uint32_t ci, const Cell& cell, double dbu) {
    const double unit = tx::unit_of_dbu(dbu);
    if (!unit_known_) unit_ = unit, unit_known_ = true;
    if (unit != unit_) unit_same_ = false;
    std::vector<Job> made;
    for (size_t at = 0; at < cell.shapes.size(); ++at) {
        const Shapes& s = cell.shapes[at];
        size_t begin = 0, points = 0;
        for (size_t k = 0; k < s.size(); ++k) {
            if (taken(s.polygon.data(), s.start.data(), s.xy.data(), k)) points += s.points(k);
            if (points >= kJobPoints || k + 1 == s.size()) {
                if (points)
                    made.push_back(Job{0, ci, at, begin, k + 1, s.xy.data(), s.start.data(), s.polygon.data(), unit,
                                       points, {}, {}, {}, false, {}});
                begin = k + 1;
                points = 0;
            }
        }
    }
    // Outlines told but not yet queued are left to this cell's jobs.
    early_.own = Shapes{};
    early_.points = 0;
    queue(made);
}

void Presimplifier::queue(std::vector<Job>& made) {
    if (made.empty()) return;
    size_t waiting, points;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Job& j : made) {
            j.index = jobs_.size();
            waiting_points_ += j.points;
            queue_.push_back(jobs_.size());
            jobs_.push_back(std::move(j));
        }
        waiting = queue_.size() - next_;
        points = waiting_points_;
    }
    ready_.notify_all();
    start_workers(waiting, points);
}

void Presimplifier::outline_read(const int32_t* xy, size_t points, double dbu) {
    if (dropped_ || is_manhattan(xy, 2 * points) || early_points_ + points > kEarlyPointsAtMost) return;
    const double unit = tx::unit_of_dbu(dbu);
    if (early_.points && early_.unit != unit) early_.own = Shapes{}, early_.points = 0;
    early_points_ += points;
    Shapes& s = early_.own;
    s.xy.insert(s.xy.end(), xy, xy + 2 * points);
    s.polygon.push_back(1);
    s.start.push_back(s.xy.size() / 2);
    early_.unit = unit;
    early_.points += points;
    if (early_.points < kJobPoints) return;
    // Moving the lists keeps their buffers, which the job points into.
    std::vector<Job> made(1);
    Job& j = made.back();
    j.ci = UINT32_MAX;
    j.early = true;
    j.own = std::move(s);
    j.begin = 0;
    j.end = j.own.size();
    j.xy = j.own.xy.data(), j.start = j.own.start.data(), j.polygon = j.own.polygon.data();
    j.unit = unit;
    j.points = early_.points;
    early_.own = Shapes{};
    early_.points = 0;
    queue(made);
}

void Presimplifier::read_declined() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dropped_ = true;
    }
    stop();
    jobs_.clear();
    firsts_.clear();
}

void Presimplifier::work() {
    simplify::EachSimplifier each;
    while (true) {
        Job* job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            ready_.wait(lock, [this] { return dropped_ || closed_ || next_ < queue_.size(); });
            if (dropped_ || next_ == queue_.size()) return;
            job = &jobs_[queue_[next_++]];
            waiting_points_ -= job->points;
        }
        try {
            run(*job, each);
        } catch (...) {  // std::bad_alloc: the parse simplifies these itself
            job->shape.clear();
            job->outlines.clear();
            job->copies.clear();
        }
    }
}

// Whether shape k of the job (its `values` coordinates at xy) has the
// points of one seen before, and is to take a copy of its outline;
// otherwise a shape worth sharing is noted as the first with its points.
bool Presimplifier::copies_one(Job& job, uint32_t k, const int32_t* xy, size_t values) {
    if (values < 2 * kShareFrom) return false;
    const uint64_t h = hash_of(xy, values);
    std::lock_guard<std::mutex> lock(firsts_mutex_);
    auto [it, end] = firsts_.equal_range(h);
    for (; it != end; ++it) {
        const First& f = it->second;
        if (f.values == values && f.unit == job.unit && std::memcmp(f.xy, xy, values * sizeof(int32_t)) == 0) {
            job.copies.push_back({k, f.shape, f.job});
            return true;
        }
    }
    firsts_.emplace(h, First{xy, values, job.unit, job.index, k});
    return false;
}

void Presimplifier::run(Job& job, simplify::EachSimplifier& each) {
    for (size_t k = job.begin; k < job.end; ++k) {
        if (!taken(job.polygon, job.start, job.xy, k)) continue;
        const int32_t* xy = job.xy + 2 * job.start[k];
        const size_t values = 2 * size_t(job.start[k + 1] - job.start[k]);
        if (copies_one(job, uint32_t(k), xy, values)) continue;
        Outline o(values);
        outline_of(xy, values, job.unit, o.data());
        if (!needs_simplifying(o)) continue;
        // One handed back goes the parse's own road (to shapely).
        if (each.run(o, tolerance_, rules_) == simplify::Status::not_handled) continue;
        job.outlines.push_back(std::move(o));
        job.shape.push_back(uint32_t(k));
    }
}

void Presimplifier::finish() {
    size_t waiting, points;
    {
        // What is left, largest first: the threads then end close together.
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        std::stable_sort(queue_.begin() + ptrdiff_t(next_), queue_.end(),
                         [this](size_t a, size_t b) { return jobs_[a].points > jobs_[b].points; });
        waiting = queue_.size() - next_;
        // This thread takes the largest job; the others share the rest.
        points = waiting ? waiting_points_ - jobs_[queue_[next_]].points : 0;
    }
    ready_.notify_all();
    start_workers(waiting > 0 ? waiting - 1 : 0, points);
    work();
    for (std::thread& t : workers_)
        if (t.joinable()) t.join();
    if (dropped_) return;
    fill_copies();
    // A cell's jobs were added together, layer by layer.
    for (size_t j = 0; j < jobs_.size(); ++j) {
        if (jobs_[j].early) continue;
        const uint32_t ci = jobs_[j].ci;
        if (cell_jobs_.size() <= ci) cell_jobs_.resize(size_t(ci) + 1, {0, 0});
        if (cell_jobs_[ci].second == 0) cell_jobs_[ci].first = j;
        cell_jobs_[ci].second = j + 1;
    }
    finished_ = true;
}

// After the workers: every copy takes its first shape's outline, where one
// was made, in its place among its job's outlines.  Where memory runs out,
// a job's copies are left to the parse.
void Presimplifier::fill_copies() {
    auto outline_of_shape = [this](size_t j, uint32_t k) -> const Outline* {
        const Job& job = jobs_[j];
        const auto it = std::lower_bound(job.shape.begin(), job.shape.end(), k);
        return it != job.shape.end() && *it == k ? &job.outlines[size_t(it - job.shape.begin())] : nullptr;
    };
    // First every copy, while no outline has moved; then the merges.
    std::vector<std::vector<std::pair<uint32_t, Outline>>> copied;
    try {
        copied.resize(jobs_.size());
    } catch (const std::bad_alloc&) {
        return;
    }
    for (Job& job : jobs_) {
        try {
            for (const Copy& c : job.copies)
                if (const Outline* o = outline_of_shape(c.job, c.of)) copied[job.index].emplace_back(c.shape, *o);
        } catch (const std::bad_alloc&) {
            copied[job.index].clear();
        }
        job.copies.clear();
    }
    for (Job& job : jobs_) {
        std::vector<std::pair<uint32_t, Outline>>& extra = copied[job.index];
        if (extra.empty()) continue;
        std::vector<uint32_t> shape;
        std::vector<Outline> outlines;
        try {
            shape.reserve(job.shape.size() + extra.size());
            outlines.reserve(job.shape.size() + extra.size());
        } catch (const std::bad_alloc&) {
            continue;
        }
        size_t a = 0;
        for (auto& [k, o] : extra) {
            for (; a < job.shape.size() && job.shape[a] < k; ++a)
                shape.push_back(job.shape[a]), outlines.push_back(std::move(job.outlines[a]));
            shape.push_back(k), outlines.push_back(std::move(o));
        }
        for (; a < job.shape.size(); ++a) shape.push_back(job.shape[a]), outlines.push_back(std::move(job.outlines[a]));
        job.shape = std::move(shape);
        job.outlines = std::move(outlines);
    }
}

bool Presimplifier::fits(double tolerance, double unit) const {
    return finished_ && !dropped_ && unit_known_ && unit_same_ && tolerance == tolerance_ && unit == unit_;
}

Presimplifier::Cursor Presimplifier::cursor(uint32_t ci, size_t at) {
    Cursor c;
    c.jobs_ = &jobs_;
    if (ci >= cell_jobs_.size()) return c;
    auto [first, end] = cell_jobs_[ci];
    while (first < end && jobs_[first].at != at) ++first;
    size_t last = first;
    while (last < end && jobs_[last].at == at) ++last;
    c.job_ = first;
    c.end_ = last;
    return c;
}

Outline* Presimplifier::Cursor::take(size_t k) {
    while (job_ < end_) {
        Job& job = (*jobs_)[job_];
        while (next_ < job.shape.size() && job.shape[next_] < k) ++next_;
        if (next_ == job.shape.size()) {
            ++job_;
            next_ = 0;
            continue;
        }
        if (job.shape[next_] == k) return &job.outlines[next_++];
        return nullptr;
    }
    return nullptr;
}

}  // namespace lumino::core
