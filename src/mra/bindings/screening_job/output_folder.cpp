// The output folder of a screening, held for that screening alone while it runs.
#include <memory>

#include "mra/bindings/screening_job/screening_job.hpp"
#include "mra/core/report/output.hpp"
#include "mra/core/screening/output_files.hpp"

namespace velora::job {
namespace {

namespace screening = core::screening;

std::unique_ptr<screening::FolderLock> lock_output_folder(const py::object& folder) {
    const std::string path = path_text(folder);
    try {
        return std::make_unique<screening::FolderLock>(path);
    } catch (const screening::FolderInUse& error) {
        raise_folder_in_use_error(error.what());
    } catch (const core::OutputFileError& error) {
        bindings::raise_os_error(error.error_number(), py::str(error.path()));
    }
}

}  // namespace

void register_output_folder(py::module_& m) {
    py::class_<screening::FolderLock>(
        m, "OutputFolderLock",
        "The lock of an output folder; released by release(), by leaving a with "
        "block, or by the end of the process, however it ends.")
        .def("release", &screening::FolderLock::release, "Release the lock (again: nothing).")
        .def("__enter__", [](py::object self) { return self; })
        .def(
            "__exit__", [](screening::FolderLock& lock, const py::args&) { lock.release(); },
            "Release the lock.");
    m.def("lock_output_folder", &lock_output_folder, "folder"_a,
          "Lock an output folder (made when missing) for one screening; FolderInUseError when another holds "
          "it. The lock is the operating system's, so it never outlives its process.");
}

}  // namespace velora::job
