// derive_key and read_key_file: the package's face of kestrel_key.h, for
// its own tools (python3 -m kestrel keygen, derive-key, verify-log) and for
// deployments that provision keys from Python.
#include <cstring>

#include "boundary_face.hpp"
#include "fault.hpp"
#include "receipt_args.hpp"

namespace kestrel::py::native {

namespace {

constexpr const char* kDeriveParams[] = {"master", "link_id"};
constexpr Signature kDeriveSignature{"derive_key", kDeriveParams, 2};

PyObject* derive_key(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[2];
    if (!bind_fastcall(kDeriveSignature, args, nargs, kwnames, slots)) return nullptr;
    Key master{};
    if (!convert_key(kDeriveSignature, 0, slots[0], master)) return nullptr;
    // A str link id is its UTF-8 bytes; anything else must be bytes-like.
    Text text;
    ByteBuffer bytes;
    const std::uint8_t* id = nullptr;
    std::size_t id_len = 0;
    if (PyUnicode_Check(slots[1])) {
        if (!argument(kDeriveSignature, 1, slots[1], text)) return nullptr;
        Py_ssize_t size = 0;
        id = reinterpret_cast<const std::uint8_t*>(PyUnicode_AsUTF8AndSize(text.str.get(), &size));
        id_len = static_cast<std::size_t>(size);
    } else {
        if (!argument(kDeriveSignature, 1, slots[1], bytes)) return nullptr;
        id = bytes.data();
        id_len = bytes.size();
    }
    Key link{};
    // An empty buffer may have no address; its length alone refuses it.
    const std::uint8_t empty = 0;
    const KestrelError error = kestrel_derive_key(master.data(), id_len == 0 ? &empty : id, id_len, link.data());
    if (error == KESTREL_ERROR_ZERO_KEY) return refuse_argument("master", error);
    if (error == KESTREL_ERROR_BAD_LINK_ID) return refuse_argument("link_id", error);
    if (error != KESTREL_OK) {
        PyErr_SetString(PyExc_RuntimeError, kestrel_error_message(error));
        return nullptr;
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(link.data()), KESTREL_KEY_LEN);
}

constexpr const char* kReadParams[] = {"path"};
constexpr Signature kReadSignature{"read_key_file", kReadParams, 1};

PyObject* read_key_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1];
    if (!bind_fastcall(kReadSignature, args, nargs, kwnames, slots)) return nullptr;
    PyObject* encoded = nullptr;  // str and os.PathLike, in the file system's encoding
    if (PyUnicode_FSConverter(slots[0], &encoded) == 0) {
        wrap_argument_error(kReadParams[0]);
        return nullptr;
    }
    const Ref path(encoded);
    Key key{};
    char message[1024];
    const KestrelError error =
        kestrel_key_file_read(PyBytes_AS_STRING(path.get()), key.data(), message, sizeof message);
    if (error != KESTREL_OK) {
        // The message names the file as given; undecodable bytes show escaped.
        PyObject* text = PyUnicode_DecodeFSDefault(message);
        if (text != nullptr) {
            PyErr_SetObject(PyExc_ValueError, text);
            Py_DECREF(text);
        }
        return nullptr;
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(key.data()), KESTREL_KEY_LEN);
}

}  // namespace

PyMethodDef kKeyFunctions[] = {
    {"derive_key", as_method(derive_key), METH_FASTCALL | METH_KEYWORDS,
     "derive_key(master, link_id)\n--\n\n"
     "Return the 32-byte key of one link, derived from the 32-byte `master` key (any\n"
     "bytes-like object): HKDF-SHA-256 with salt b\"kestrel link key v1\", the master\n"
     "as input key and `link_id` as info (RFC 5869). `link_id` names the link, 1 to\n"
     "255 bytes: a str (taken as UTF-8, e.g. \"cell-3/axis-5\") or a bytes-like\n"
     "object. The same master and link id give the same key everywhere. ValueError\n"
     "for a master of another length or of 32 zero bytes, or a link id out of range.\n"
     "Keeps no state: safe to share between threads."},
    {"read_key_file", as_method(read_key_file), METH_FASTCALL | METH_KEYWORDS,
     "read_key_file(path)\n--\n\n"
     "Return the 32 bytes of the key file at `path` (str or path-like). A key file\n"
     "holds exactly 32 raw bytes, is a regular file and is its owner's alone (mode\n"
     "0600 or 0400). Otherwise ValueError, whose message names the file, what is\n"
     "wrong and the fix."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kestrel::py::native
