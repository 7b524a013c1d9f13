// The module kestrel._description: the robot description reader of
// libkestrel_description, a module of its own so that kestrel._native (and the
// control loop that imports it) never loads the XML and YAML parsers. It only
// converts: the rules and the provenance come from the C API, and
// kestrel.load_joint_limits builds the JointLimits.
#include <Python.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "kestrel_description.h"
#include "module_init.hpp"
#include "py_ref.hpp"

namespace {

PyObject* g_description_error = nullptr;

// A path argument as bytes (str or os.PathLike), or nullptr for None.
bool path_argument(PyObject* value, kestrel::py::Ref& out) {
    if (value == Py_None) return true;
    PyObject* converted = nullptr;
    if (PyUnicode_FSConverter(value, &converted) == 0) return false;
    out = kestrel::py::Ref(converted);
    return true;
}

// The error of a failed load. A file that cannot be read raises
// FileNotFoundError and its kin with the file's name, as open() does; the
// message starts with the path of that file. A path that is no regular file
// (no errno) is a DescriptionError like any other file that gives no limits.
PyObject* raise_failure(KestrelError error, const char* message, int32_t os_error, const char* urdf_path,
                        PyObject* urdf, PyObject* yaml) {
    if (error == KESTREL_ERROR_DESCRIPTION_UNREADABLE && os_error != 0) {
        errno = os_error;
        const bool urdf_failed = urdf_path != nullptr && std::string_view(message).starts_with(urdf_path);
        return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, urdf_failed ? urdf : yaml);
    }
    if (error == KESTREL_ERROR_OUT_OF_MEMORY) return PyErr_NoMemory();
    // A path in the message is the file system's bytes: decoded as os.fsdecode
    // does, so a byte that is not UTF-8 comes back as the path's own str.
    const kestrel::py::Ref text(PyUnicode_DecodeFSDefault(message));
    if (text) PyErr_SetObject(g_description_error, text.get());
    return nullptr;
}

PyObject* joint_row(const KestrelDescribedJoint& joint) {
    const KestrelJointLimits& l = joint.limits;
    const uint32_t* s = joint.sources;
    const uint32_t w = joint.widened;  // bit 1 << KESTREL_FIELD_*, in field order
    return Py_BuildValue("(sss(ddddd)(sssss)(NNNNN)d)", joint.name, joint.type, joint.mimics, l.min_position,
                         l.max_position, l.max_velocity, l.max_acceleration, l.max_jerk,
                         kestrel_description_source_name(s[0]), kestrel_description_source_name(s[1]),
                         kestrel_description_source_name(s[2]), kestrel_description_source_name(s[3]),
                         kestrel_description_source_name(s[4]), PyBool_FromLong(w & 1u), PyBool_FromLong(w & 2u),
                         PyBool_FromLong(w & 4u), PyBool_FromLong(w & 8u), PyBool_FromLong(w & 16u), joint.effort);
}

// The joints' rows and the warnings' texts of a loaded description, as (rows, warnings).
PyObject* loaded(const KestrelDescription* description) {
    const size_t count = kestrel_description_joint_count(description);
    kestrel::py::Ref rows(PyList_New(static_cast<Py_ssize_t>(count)));
    for (size_t i = 0; rows && i < count; ++i) {
        KestrelDescribedJoint joint;
        PyObject* row = kestrel_description_joint(description, i, &joint) == KESTREL_OK ? joint_row(joint) : nullptr;
        if (row == nullptr) return nullptr;
        PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(i), row);
    }
    const size_t warning_count = kestrel_description_warning_count(description);
    kestrel::py::Ref warnings(PyList_New(static_cast<Py_ssize_t>(warning_count)));
    for (size_t i = 0; warnings && i < warning_count; ++i) {
        PyObject* text = PyUnicode_DecodeFSDefault(kestrel_description_warning(description, i));
        if (text == nullptr) return nullptr;
        PyList_SET_ITEM(warnings.get(), static_cast<Py_ssize_t>(i), text);
    }
    if (!rows || !warnings) return nullptr;
    return PyTuple_Pack(2, rows.get(), warnings.get());
}

PyObject* describe(PyObject*, PyObject* args) {
    PyObject *urdf_arg, *yaml_arg, *joints_arg;
    int soft_limits, strict, allow_widening;
    if (!PyArg_ParseTuple(args, "OOOppp:describe", &urdf_arg, &yaml_arg, &joints_arg, &soft_limits, &strict,
                          &allow_widening)) {
        return nullptr;
    }
    kestrel::py::Ref urdf, yaml;
    if (!path_argument(urdf_arg, urdf) || !path_argument(yaml_arg, yaml)) return nullptr;
    std::vector<const char*> names;
    kestrel::py::Ref joints;   // the names given
    kestrel::py::Ref encoded;  // their UTF-8, kept alive for the request
    if (joints_arg != Py_None) {
        joints = kestrel::py::Ref(PySequence_Tuple(joints_arg));
        if (!joints) return nullptr;
        encoded = kestrel::py::Ref(PyList_New(0));
        if (!encoded) return nullptr;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(joints.get()); ++i) {
            PyObject* name = PyTuple_GET_ITEM(joints.get(), i);
            if (!PyUnicode_Check(name)) {
                return PyErr_Format(PyExc_TypeError, "joints must be names (str), not %.100s", Py_TYPE(name)->tp_name);
            }
            // A name from the command line may carry bytes that are not UTF-8
            // (as os.fsdecode escapes them): passed on as they came, so the
            // reader says the joint is not there, as for any other name.
            const kestrel::py::Ref bytes(PyUnicode_AsEncodedString(name, "utf-8", "surrogateescape"));
            if (!bytes || PyList_Append(encoded.get(), bytes.get()) != 0) return nullptr;
            const char* text = PyBytes_AS_STRING(bytes.get());
            if (std::strlen(text) != static_cast<size_t>(PyBytes_GET_SIZE(bytes.get()))) {
                return PyErr_Format(PyExc_ValueError, "joint name %R holds a NUL character", name);
            }
            names.push_back(text);
        }
    }
    if (!urdf && !yaml) return PyErr_Format(PyExc_TypeError, "give a URDF file, a YAML file or both");
    // An empty list of names is still a list (and an error): point at something.
    static const char* const kNoNames[1] = {nullptr};
    const char* urdf_path = urdf ? PyBytes_AS_STRING(urdf.get()) : nullptr;
    const KestrelDescriptionRequest request{
        urdf_path,
        yaml ? PyBytes_AS_STRING(yaml.get()) : nullptr,
        !joints         ? nullptr
        : names.empty() ? kNoNames
                        : names.data(),
        names.size(),
        (soft_limits ? 0u : static_cast<uint32_t>(KESTREL_DESCRIPTION_NO_SOFT_LIMITS)) |
            (strict ? static_cast<uint32_t>(KESTREL_DESCRIPTION_STRICT) : 0u) |
            (allow_widening ? static_cast<uint32_t>(KESTREL_DESCRIPTION_ALLOW_WIDENING) : 0u),
    };
    char message[KESTREL_DESCRIPTION_MESSAGE_SIZE];
    int32_t os_error = 0;
    KestrelDescription* description = nullptr;
    KestrelError error;
    Py_BEGIN_ALLOW_THREADS
    error = kestrel_description_load(&request, &description, message, sizeof message, &os_error);
    Py_END_ALLOW_THREADS
    if (error != KESTREL_OK) return raise_failure(error, message, os_error, urdf_path, urdf_arg, yaml_arg);
    PyObject* result = loaded(description);
    kestrel_description_free(description);
    return result;
}

PyMethodDef kFunctions[] = {
    {"describe", describe, METH_VARARGS,
     "describe($module, urdf, yaml, joints, soft_limits, strict, allow_widening, /)\n--\n\n"
     "The joints of a robot's files and the reader's warnings, as (rows, warnings):\n"
     "rows (name, type, mimics, limits, sources, widened, effort), warnings texts. Paths as\n"
     "bytes or None, joints a sequence of names or None. DescriptionError for a file\n"
     "that is not valid, OSError for one that cannot be read."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "kestrel._description",
    "The robot description reader of libkestrel_description (see kestrel.load_joint_limits).\n\n"
    "It releases the interpreter lock while it reads and holds no state.",
    0,
    kFunctions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The package's own exception class, so that `import kestrel` names it
// without loading this module and its parsers.
bool populate(PyObject* module) {
    if (g_description_error == nullptr) {
        const kestrel::py::Ref package(PyImport_ImportModule("kestrel.description"));
        g_description_error = package ? PyObject_GetAttrString(package.get(), "DescriptionError") : nullptr;
        if (g_description_error == nullptr) return false;
    }
    return PyModule_AddObjectRef(module, "DescriptionError", g_description_error) == 0;
}

kestrel::py::ModuleHome g_home{g_definition, populate};

}  // namespace

PyMODINIT_FUNC PyInit__description(void) { return kestrel::py::init_module(g_home); }
