// Topology-preserving simplification with GEOS's decisions (see
// simplify.hpp): the GEOS releases it was verified against, one polygon,
// and batches of outlines split over threads, each with a workspace of its
// own (workspace.cpp walks one polygon).
#include "lumino/core/simplify/simplify.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <system_error>

#include "lumino/core/simplify/workspace.hpp"

namespace lumino::simplify {

namespace {


constexpr VerifiedGeos kVerified[] = {
    {{3, 11, 4}, {Filter::sum_of_magnitudes, false, false, false}},  // shapely 2.0.7
    {{3, 13, 1}, {Filter::sum_of_magnitudes, true, true, true}},     // shapely 2.1.0 to 2.1.2
    {{3, 14, 1}, {Filter::magnitude_of_sum, true, true, true}},      // shapely 2.2.0
};

}  // namespace

std::span<const VerifiedGeos> verified_geos() {
#if defined(__x86_64__) && defined(__linux__)
    return kVerified;
#else
    return {};
#endif
}

std::optional<Rules> rules_for(const GeosVersion& version) {
    for (const VerifiedGeos& v : verified_geos())
        if (v.version == version) return v.rules;
    return std::nullopt;
}

std::optional<GeosVersion> geos_version_of_library(std::string_view name) {
    // "libgeos" then "-<hash>.so.X.Y.Z" (Linux) or ".X.Y.Z.dylib" (macOS).
    constexpr std::string_view stem = "libgeos";
    if (name.substr(0, stem.size()) != stem) return std::nullopt;
    std::string_view rest = name.substr(stem.size());
    std::string_view digits;
    if (!rest.empty() && rest[0] == '-') {
        const size_t so = rest.find(".so.");
        if (so == std::string_view::npos) return std::nullopt;
        digits = rest.substr(so + 4);
    } else if (!rest.empty() && rest[0] == '.' && rest.size() > 6 && rest.substr(rest.size() - 6) == ".dylib") {
        digits = rest.substr(1, rest.size() - 7);
    } else {
        return std::nullopt;
    }
    int parts[3];
    for (int k = 0; k < 3; ++k) {
        if (digits.empty() || digits[0] < '0' || digits[0] > '9') return std::nullopt;
        int v = 0;
        size_t n = 0;
        while (n < digits.size() && digits[n] >= '0' && digits[n] <= '9' && n < 6) v = v * 10 + (digits[n++] - '0');
        parts[k] = v;
        digits.remove_prefix(n);
        if (k < 2) {
            if (digits.empty() || digits[0] != '.') return std::nullopt;
            digits.remove_prefix(1);
        }
    }
    if (!digits.empty()) return std::nullopt;
    return GeosVersion{parts[0], parts[1], parts[2]};
}

Status simplify_polygon(PolygonIn polygon, double tolerance, const Rules& rules, std::vector<std::vector<double>>& out) {
    out.clear();
    Workspace w;
    const Status s = w.run(polygon, tolerance, rules, &out, nullptr);
    if (s != Status::simplified) out.clear();
    return s;
}

std::vector<std::vector<uint32_t>> chain_search(std::span<const double> xy, std::span<const uint32_t> gone,
                                                std::span<const double> queries, std::span<const uint32_t> nears) {
    const size_t points = xy.size() / 2;
    std::vector<Pt> pts(points);
    for (size_t k = 0; k < points; ++k) pts[k] = {xy[2 * k], xy[2 * k + 1]};
    std::vector<Box> boxes(points > 0 ? points - 1 : 0);
    for (size_t k = 0; k < boxes.size(); ++k) boxes[k] = box_of(pts[k], pts[k + 1]);
    MonotoneChains chains;
    chains.reset(pts.data());
    chains.append_run(0, 0, uint32_t(boxes.size()));
    for (size_t k = 0; k + 1 < gone.size(); k += 2) chains.remove_range(gone[k], gone[k + 1]);
    std::vector<std::vector<uint32_t>> out(nears.size());
    for (size_t k = 0; k < nears.size(); ++k) {
        const Box q{queries[4 * k], queries[4 * k + 1], queries[4 * k + 2], queries[4 * k + 3]};
        chains.visit(boxes.data(), q, 0, 0, nears[k], PointSpan{}, [&](uint32_t id) {
            out[k].push_back(id);
            return false;
        });
    }
    return out;
}

std::thread start_std_thread(std::function<void()> work) { return std::thread(std::move(work)); }

namespace {

// Simplifies outlines [begin, end) into `out`.
void simplify_run(Workspace& w, const OutlinesIn& in, size_t begin, size_t end, double tolerance, const Rules& rules,
                  OutlinesOut& out) {
    std::vector<double> shell;
    out.xy.clear();
    out.offsets.assign(1, 0);
    out.status.clear();
    out.status.reserve(end - begin);
    for (size_t k = begin; k < end; ++k) {
        const std::span<const double> xy = in.xy.subspan(2 * in.offsets[k], 2 * (in.offsets[k + 1] - in.offsets[k]));
        const std::span<const double> rings[1] = {xy};
        const Status s = w.run(PolygonIn{rings}, tolerance, rules, nullptr, &shell);
        out.status.push_back(s);
        if (s == Status::simplified) out.xy.insert(out.xy.end(), shell.begin(), shell.end());
        out.offsets.push_back(out.xy.size() / 2);
    }
}

// Work is handed out in blocks of consecutive outlines of at least this many
// points; a thread is started for every so many points.
constexpr size_t kBlockPoints = 1024;
constexpr size_t kPointsPerThread = 2048;

// The bounds of consecutive blocks of outlines (outline k has size_of(k)
// points): block b is [cut[b], cut[b + 1]).
template <class SizeOf>
std::vector<size_t> blocks_of(size_t count, SizeOf&& size_of) {
    std::vector<size_t> cut{0};
    for (size_t k = 0; k < count;) {
        size_t block = 0;
        while (k < count && (block == 0 || block + size_of(k) <= kBlockPoints)) block += size_of(k++);
        cut.push_back(k);
    }
    return cut;
}

// Runs work(w, b, begin, end) for every block of `cut` once, on up to
// `threads` threads (0: one per core; no more than the points ask for), the
// calling one included: every thread takes the next block until none is
// left, with a workspace of its own.  A thread that cannot start leaves its
// share to the others.  Rethrows the first failure once every thread has
// stopped.
template <class Work>
void run_blocks(const std::vector<size_t>& cut, size_t points, unsigned threads, const ThreadStarter& starter,
                Work&& work) {
    const size_t blocks = cut.size() - 1;
    size_t want = threads ? threads : std::max(1u, std::thread::hardware_concurrency());
    want = std::min({want, std::max<size_t>(1, points / kPointsPerThread), std::max<size_t>(1, blocks)});

    std::vector<std::exception_ptr> errors(want);
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    auto drain = [&](size_t slot) {
        try {
            Workspace w;
            for (size_t b; !failed.load(std::memory_order_relaxed) && (b = next.fetch_add(1)) < blocks;)
                work(w, b, cut[b], cut[b + 1]);
        } catch (...) {  // std::bad_alloc
            errors[slot] = std::current_exception();
            failed = true;
        }
    };
    // Joins every started thread however this function is left.
    struct Joiner {
        std::vector<std::thread> threads;
        ~Joiner() {
            for (std::thread& t : threads)
                if (t.joinable()) t.join();
        }
    } started;
    started.threads.reserve(want);
    for (size_t slot = 1; slot < want; ++slot) {
        try {
            started.threads.push_back(starter([&drain, slot] { drain(slot); }));
        } catch (...) {  // std::system_error: no thread to be had; the others do its share
            break;
        }
    }
    drain(0);
    for (std::thread& t : started.threads)
        if (t.joinable()) t.join();
    for (std::exception_ptr& e : errors)
        if (e) std::rethrow_exception(e);
}

}  // namespace

OutlinesOut simplify_outlines(const OutlinesIn& in, double tolerance, const Rules& rules, unsigned threads,
                              const ThreadStarter& starter) {
    const size_t count = in.offsets.empty() ? 0 : in.offsets.size() - 1;
    const std::vector<size_t> cut = blocks_of(count, [&](size_t k) { return in.offsets[k + 1] - in.offsets[k]; });
    const size_t blocks = cut.size() - 1;
    // Each block's result has its own place, so the order of the work does
    // not matter.
    std::vector<OutlinesOut> parts(blocks);
    run_blocks(cut, count ? in.offsets[count] - in.offsets[0] : 0, threads, starter,
               [&](Workspace& w, size_t b, size_t begin, size_t end) {
                   simplify_run(w, in, begin, end, tolerance, rules, parts[b]);
               });
    if (blocks == 1) return std::move(parts[0]);
    OutlinesOut out;
    out.offsets.assign(1, 0);
    out.status.reserve(count);
    out.offsets.reserve(count + 1);
    size_t values = 0;
    for (size_t b = 0; b < blocks; ++b) values += parts[b].xy.size();
    out.xy.reserve(values);
    for (size_t b = 0; b < blocks; ++b) {
        OutlinesOut& part = parts[b];
        const size_t base = out.xy.size() / 2;
        out.xy.insert(out.xy.end(), part.xy.begin(), part.xy.end());
        out.status.insert(out.status.end(), part.status.begin(), part.status.end());
        for (size_t k = 1; k < part.offsets.size(); ++k) out.offsets.push_back(base + part.offsets[k]);
    }
    return out;
}

namespace {

// One outline of simplify_each, simplified in place (`shell`: scratch).
Status simplify_one(Workspace& w, std::vector<double>& outline, std::vector<double>& shell, double tolerance,
                    const Rules& rules) {
    const std::span<const double> rings[1] = {outline};
    const Status s = w.run(PolygonIn{rings}, tolerance, rules, nullptr, &shell);
    if (s == Status::simplified) outline.swap(shell);
    return s;
}

}  // namespace

struct EachSimplifier::Scratch {
    Workspace w;
    std::vector<double> shell;
};

EachSimplifier::EachSimplifier() : s_(std::make_unique<Scratch>()) {}
EachSimplifier::~EachSimplifier() = default;

Status EachSimplifier::run(std::vector<double>& outline, double tolerance, const Rules& rules) {
    return simplify_one(s_->w, outline, s_->shell, tolerance, rules);
}

std::vector<size_t> simplify_each(std::vector<std::vector<double>>& outlines, double tolerance, const Rules& rules,
                                  unsigned threads, const ThreadStarter& starter) {
    auto size_of = [&](size_t k) { return outlines[k].size() / 2; };
    const std::vector<size_t> cut = blocks_of(outlines.size(), size_of);
    size_t points = 0;
    for (size_t k = 0; k < outlines.size(); ++k) points += size_of(k);
    std::vector<std::vector<size_t>> not_handled(cut.size() - 1);  // per block
    run_blocks(cut, points, threads, starter, [&](Workspace& w, size_t b, size_t begin, size_t end) {
        std::vector<double> shell;
        for (size_t k = begin; k < end; ++k)
            if (simplify_one(w, outlines[k], shell, tolerance, rules) == Status::not_handled)
                not_handled[b].push_back(k);
    });
    std::vector<size_t> out;
    for (size_t b = 0; b + 1 < cut.size(); ++b) out.insert(out.end(), not_handled[b].begin(), not_handled[b].end());
    return out;
}

}  // namespace lumino::simplify
