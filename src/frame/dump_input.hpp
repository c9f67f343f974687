// Where a native pass over a dump takes its bytes from, as a Python caller
// names the dump: a path (str, bytes or os.PathLike), opened as a file on
// disk and read with the interpreter lock released; or a binary file object
// (anything with seek() and read(): an open file, io.BytesIO, a file of a
// remote file system), read through its own methods with the lock held.
#pragma once

// Python.h comes before any standard header: it sets the feature macros.
#include "pyref.hpp"

#include <memory>
#include <string>

#include "native/field_format.hpp"
#include "native/source.hpp"

namespace quickio::frame {

// A native::Source over a Python binary file object. Every read calls the
// object's seek() and read(), so it must run on the thread that holds the
// interpreter lock, one read at a time: only for passes that read on the
// calling thread and never release the lock.
class PyFileSource final : public native::Source {
public:
    // `file` is borrowed: the caller keeps it alive while the source is used.
    explicit PyFileSource(PyObject* file) noexcept : file_(file) {}

    // Takes the file's length from seek(0, 2) (or tell() when seek returns
    // no position). False with a Python exception set.
    bool open();

    int64_t size() const noexcept override { return size_; }
    // file.seek(offset), then file.read(n), copied to `dst`. A Python
    // exception the object raises stays pending and the read fails with
    // EIO; see raised().
    native::Error read_at(int64_t offset, void* dst, int64_t n) noexcept override;
    // Each read is a call into Python and, for a file of a remote file
    // system, a request over the network: reads of block headers after a
    // jump take 64 KiB, so that a dump of small blocks is scanned in a few
    // requests rather than one per block.
    int64_t preferred_read() const noexcept override { return int64_t{64} << 10; }

    // True once a call into the object raised: that exception is pending
    // and is the one to report.
    bool raised() const noexcept { return raised_; }

private:
    PyObject* file_;
    int64_t size_ = 0;
    bool raised_ = false;
};

// Asks the interpreter's signal handlers, with the lock held, at most every
// 50 ms, so that Ctrl-C stops a long pass over a file object. The handler's
// exception stays pending.
class HeldInterrupt final : public native::Interrupt {
public:
    bool requested() noexcept override;

private:
    bool stop_ = false;
    int64_t last_check_ = 0;
};

class DumpInput {
public:
    // Takes a path or a binary file object; anything else is a TypeError.
    // Nothing is opened yet. False with a Python exception set.
    bool set(PyObject* obj);

    // Runs work(source, options) over the dump, opening it on the first
    // run: with the interpreter lock released for a file on disk (and
    // Ctrl-C honoured), with it held for a file object. Later runs read the
    // same open file.
    template <class Work>
    native::Error run(Work&& work) {
        native::ReadOptions options;
        options.max_subrecord = native::field::process_max_subrecord();  // the environment, under the lock
        if (py_) {
            HeldInterrupt interrupt;
            options.interrupt = &interrupt;
            return work(static_cast<native::Source&>(*py_), options);
        }
        UnlockedCall unlocked;
        options.interrupt = &unlocked;
        if (!opened_) {
            if (native::Error e = file_.open(path_.c_str(), &unlocked, nullptr)) return e;
            opened_ = true;
        }
        return work(static_cast<native::Source&>(file_), options);
    }

    // After the runs: a file on disk must still be the file that was
    // opened, unwritten. Nothing to check for a file object.
    native::Error finish() const noexcept;

    // Sets the Python exception for a failed run (the file object's own
    // exception when it raised one). Always returns false.
    bool raise(const native::Error& error) const;

private:
    std::string path_;  // the path as bytes, or the file object's name
    native::FileSource file_;
    bool opened_ = false;
    PyRef object_;  // the file object, kept alive while the input is used
    std::unique_ptr<PyFileSource> py_;
};

}  // namespace quickio::frame
