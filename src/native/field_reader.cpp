#include "field_reader.hpp"

#include <bit>

#include "field_format.hpp"
#include "limits.hpp"
#include "pool.hpp"

namespace quickio::native {

namespace {

static_assert(std::endian::native == std::endian::little, "dumps are little-endian and are read without byte swapping");

using ll = long long;

// The sizes that split the work; limits.hpp says why each is what it is.
constexpr int64_t window_capacity = limits::field_window;
constexpr int64_t min_direct = limits::field_min_direct;
constexpr int64_t task_bytes = limits::field_task_bytes;
constexpr int64_t min_parallel = limits::field_min_parallel;
constexpr int64_t check_every = limits::check_every;

class ScatterRunner final : public TaskRunner {
public:
    explicit ScatterRunner(Source& src) noexcept : src_(src) {}
    Error run(Task& task, int) noexcept override { return src_.read_scatter(task.offset, task.pieces, task.npieces); }

private:
    Source& src_;
};

// Packs runs of the file that go straight into place into tasks of a few
// MiB, each one stretch of the file: the record markers and extents between
// two blocks are read along and dropped rather than starting a new read.
//
// Invariant, on the open task (task_) between calls:
//   - task_->bytes <= budget_: a task never asks for more than its budget;
//   - every piece has a length of at least one byte;
//   - task_->npieces + 2 <= Task::max_pieces: there is room for one more
//     gap and one more run, so add() never has to check for it mid-way;
//   - end_ is the file offset just past the task's last piece.
// A gap is joined only when it and at least one byte of the run after it
// still fit the budget; otherwise the task is submitted and the run starts
// a new one.
class TaskBuilder {
public:
    TaskBuilder(TaskPool& pool, int64_t budget) noexcept : pool_(pool), budget_(budget > 0 ? budget : 1) {}

    // Queues `len` bytes from file offset `at` to `dst`. Fails with the
    // pool's own error once the pool has failed (a read went wrong, or its
    // memory could not be had): that error is the cause to report.
    Error add(int64_t at, unsigned char* dst, int64_t len) noexcept {
        while (len > 0) {
            if (task_ != nullptr && at != end_ && !join_gap(at - end_)) flush();
            if (task_ == nullptr) {
                if (Error e = pool_.acquire(&task_)) return e;
                task_->offset = at;
            }
            // Room is at least one byte: the task is submitted as soon as it
            // is full, and a gap is joined only with a byte to spare.
            const int64_t room = budget_ - task_->bytes;
            const int64_t take = len < room ? len : room;
            task_->add(dst, take);
            at += take;
            dst += take;
            len -= take;
            end_ = at;
            if (task_->bytes == budget_ || task_->npieces + 2 > Task::max_pieces) flush();
        }
        return {};
    }

    void flush() noexcept {
        if (task_ != nullptr) pool_.submit(task_);
        task_ = nullptr;
    }

    // A new layer of blocks begins. A layer fills one contiguous stretch of
    // the field, while its blocks' rows interleave inside it: ending a task
    // here keeps two threads out of the same pages (which, faulted in by
    // both at once, would cost more than the read).
    void layer_begins() noexcept { flush(); }

private:
    // Reads the `gap` bytes between the task's end and the next run along
    // into the task's drop buffer, when they are few and leave room in the
    // budget for at least one byte of the run. False: start a new task.
    bool join_gap(int64_t gap) noexcept {
        if (gap <= 0 || gap > static_cast<int64_t>(sizeof task_->gap)) return false;
        if (gap >= budget_ - task_->bytes) return false;
        task_->add(task_->gap, gap);
        end_ += gap;
        return true;
    }

    TaskPool& pool_;
    const int64_t budget_;
    Task* task_ = nullptr;
    int64_t end_ = 0;  // file offset just past the task's bytes
};

Error check_buffer(const char* label, FloatSpan buf, int64_t needed) noexcept {
    if (buf.length >= needed) return {};
    return Error::value("buffer %s holds %lld elements but the dump needs %lld", label, static_cast<ll>(buf.length),
                        static_cast<ll>(needed));
}

Error check_buffers(const FieldHeader& h, const FieldBuffers& b) noexcept {
    if (b.exact) {
        if (b.field.length != h.cells || b.x.length != h.nx || b.y.length != h.ny || b.z.length != h.nz) {
            return Error::in_file(Status::changed,
                                  "the file now describes the grid (%lld, %lld, %lld), not the one its header gave "
                                  "when the load began; it changed while it was read",
                                  static_cast<ll>(h.nx), static_cast<ll>(h.ny), static_cast<ll>(h.nz));
        }
        return {};
    }
    if (Error e = check_buffer("f", b.field, h.cells)) return e;
    if (Error e = check_buffer("x", b.x, h.nx)) return e;
    if (Error e = check_buffer("y", b.y, h.ny)) return e;
    return check_buffer("z", b.z, h.nz);
}

// The header: Nparam, then the integer parameters the layout needs.
Error walk_header(WindowReader& rd, FieldWalk& walk) noexcept {
    int64_t at;
    if (Error e = walk.nparam_record(&at)) return e;
    int32_t nparam;
    if (Error e = rd.copy(at, &nparam, 4)) return e;
    if (Error e = walk.take_nparam(nparam)) return e;
    int32_t params[field::min_nparam];
    if (Error e = rd.copy(field::int_params_at, params, sizeof params)) return e;
    return walk.take_params(params);
}

// Every block: its extents through the window, its data through the window
// when it is small, otherwise into tasks that read it straight into place.
Error walk_blocks(WindowReader& rd, FieldWalk& walk, TaskBuilder& tasks, float* field,
                  const ReadOptions& options) noexcept {
    const FieldHeader& h = walk.header();
    const int64_t plane = h.nx * h.ny;  // <= cells
    int64_t work = 0;
    while (walk.more()) {
        int32_t ext[3];
        if (Error e = read_next_extents(rd, walk, ext)) return e;
        FieldBlock b;
        if (Error e = walk.accept(ext, &b, rd)) return e;

        const int64_t bytes = 4 * b.count;
        work += bytes + 4096;  // a tiny block costs its walk if nothing else
        if (work >= check_every) {
            work = 0;
            if (options.stop_requested()) return Error::interrupted();
        }
        if (b.count == 0) continue;
        if (b.column == 0) tasks.layer_begins();
        // A block of whole planes is one run; otherwise one run of
        // nx*ny_loc values per plane.
        const bool whole = b.ny == h.ny;
        const int64_t runs = whole ? 1 : b.nz;
        const int64_t run = whole ? b.count : h.nx * b.ny;
        float* dst = field + plane * b.z0 + h.nx * b.y0;
        const bool through_window = rd.available(b.data.at) >= bytes || bytes < min_direct;
        for (int64_t k = 0; k < runs; ++k) {
            auto* to = reinterpret_cast<unsigned char*>(dst + plane * k);
            // A run that crosses subrecords is one piece per subrecord (a
            // value may be cut in two); the markers between are left out.
            Error e = each_piece(b.data, 4 * run * k, 4 * run, [&](int64_t at, int64_t done, int64_t len) {
                return through_window ? rd.copy(at, to + done, len) : tasks.add(at, to + done, len);
            });
            if (e) return e;  // with tasks, the pool's own error: a read or an allocation failed
        }
    }
    return {};
}

}  // namespace

Error read_grid_dump(Source& src, const FieldBuffers& buffers, const ReadOptions& options) noexcept {
    WindowReader rd(src);
    if (Error e = rd.init(window_capacity)) return e;
    FieldWalk walk(src.size(), options.max_subrecord);
    if (Error e = walk_header(rd, walk)) return e;
    const FieldHeader& h = walk.header();
    if (Error e = check_buffers(h, buffers)) return e;

    ScatterRunner runner(src);
    TaskPool pool(runner, 4 * h.cells >= min_parallel ? options.threads : 1);
    TaskBuilder tasks(pool, task_bytes);
    Error error = walk_blocks(rd, walk, tasks, buffers.field.data, options);
    tasks.flush();
    FieldAxis axes[3];
    if (!error) error = walk.axes(axes, rd);
    const FloatSpan dst[3] = {buffers.x, buffers.y, buffers.z};
    for (int i = 0; i < 3 && !error; ++i) {
        error = copy_payload(rd, axes[i].values, 0, dst[i].data, 4 * axes[i].len);
    }
    // Tasks still write into the buffers until the pool has finished; a
    // task's read error is the cause of any format error found after it.
    return pool.settle(error);
}

Error read_grid_dump(const char* path, const FieldBuffers& buffers, const ReadOptions& options) noexcept {
    FileSource src;
    if (Error e = src.open(path, options.interrupt, options.expect)) return e;
    if (Error e = read_grid_dump(src, buffers, options)) return e;
    return src.verify_unchanged();
}

}  // namespace quickio::native
