// Writing a stack file: page by page on every core, beside the target, then renamed
// into place.
#include "saving/saving.hpp"

namespace cep::saving {

namespace {

// Strips handed to the compressor threads at once (tifffile's buffersize): about ten
// RGB frames of 496 x 1024, where tifffile's default would gather up to 512 MB.
constexpr long kWriteBuffer = 16L << 20;

// An OSError about the file beside the target, told with the path the user chose.
[[noreturn]] void rethrow_for(nb::python_error &e, nb::handle shown) {
    if (e.matches(PyExc_OSError)) {
        nb::handle error = e.value();
        nb::object code = nb::getattr(error, "errno");
        if (!code.is_none()) {
            nb::handle type = error.type();
            nb::object told = type(code, nb::getattr(error, "strerror"), shown);
            PyErr_SetObject(type.ptr(), told.ptr());
            throw nb::python_error();
        }
    }
    throw;
}

// Removes the unfinished file; the save's own error is the one reported.
void discard(nb::handle os, nb::handle file, nb::handle temp) {
    try {
        if (file.is_valid()) file.attr("close")();
    } catch (nb::python_error &) {
    }
    try {
        os.attr("unlink")(temp);
    } catch (nb::python_error &) {
    }
}

// A replaced file keeps its permission bits, as one overwritten in place does.
void keep_mode(nb::handle os, nb::handle target, nb::handle temp) {
    try {
        nb::object mode = nb::getattr(os.attr("stat")(target), "st_mode");
        nb::object bits = nb::steal(PyNumber_And(mode.ptr(), nb::int_(07777).ptr()));
        if (!bits.is_valid()) throw nb::python_error();
        os.attr("chmod")(temp, bits);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_FileNotFoundError)) throw;
    }
}

// True once interpreter exit has begun: no thread may start from then on.
bool threads_refused(nb::handle os) {
    nb::object probe = nb::module_::import_("threading").attr("Thread")("target"_a = os.attr("getpid"));
    try {
        probe.attr("start")();
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_RuntimeError)) return true;
        throw;
    }
    probe.attr("join")();
    return false;
}

}  // namespace

void write_stack(nb::handle self, const std::shared_ptr<WorkerControl> &control,
                 const std::function<nb::object()> &pages, int level, nb::dict options) {
    nb::object os = nb::module_::import_("os");
    nb::object cores = os.attr("cpu_count")();
    options["compression"] = "zlib";
    nb::dict codec;
    codec["level"] = level;
    options["compressionargs"] = codec;
    options["maxworkers"] = cores.is_none() ? nb::int_(1) : cores;
    options["buffersize"] = nb::int_(kWriteBuffer);
    nb::object imwrite = module_global("tifffile").attr("imwrite");
    auto write_to = [&](nb::handle file) {
        imwrite(file, pages(), **options);
    };

    nb::object filename = nb::getattr(self, "filename");
    nb::object builtins = nb::module_::import_("builtins");
    nb::object path_like = nb::make_tuple(builtins.attr("str"), builtins.attr("bytes"), os.attr("PathLike"));
    const int is_path = PyObject_IsInstance(filename.ptr(), path_like.ptr());
    if (is_path < 0) throw nb::python_error();
    if (!is_path) {  // an open file: written as given
        write_to(filename);
        return;
    }
    nb::object ospath = os.attr("path");
    nb::object shown = os.attr("fsdecode")(filename);
    nb::object target = ospath.attr("realpath")(shown);  // a link keeps pointing at the new file
    auto [folder, name] = unpack2(ospath.attr("split")(target));
    nb::object tag = os.attr("urandom")(4).attr("hex")();
    nb::object temp = ospath.attr("join")(folder, nb::str(".{}.{}.part").attr("format")(name, tag));
    nb::object file;
    try {
        file = builtins.attr("open")(temp, "xb");
    } catch (nb::python_error &e) {
        rethrow_for(e, shown);
    }
    try {
        try {
            write_to(file);
        } catch (nb::python_error &e) {
            if ((control && control->stop.load()) || !e.matches(PyExc_RuntimeError) || !threads_refused(os)) throw;
            // Interpreter exit refuses new threads, and tifffile's compressor pool starts
            // its own with the first strips: write the file again on this thread alone.
            file.attr("seek")(0);
            file.attr("truncate")();
            options["maxworkers"] = 1;
            write_to(file);
        }
        file.attr("flush")();
        os.attr("fsync")(file.attr("fileno")());
        file.attr("close")();
        check_stop(control);
        keep_mode(os, target, temp);
        try {
            os.attr("replace")(temp, target);
        } catch (nb::python_error &e) {
            rethrow_for(e, shown);
        }
    } catch (...) {
        discard(os, file, temp);
        throw;
    }
}

}  // namespace cep::saving
