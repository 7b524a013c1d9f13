// KestrelReceipt: one authorized action, as handed back to the controlling
// program. Immutable; holds no reference to the boundary that issued it, so
// it can be verified again at any time against a key.
#include <cstring>

#include "classes.hpp"
#include "convert.hpp"
#include "receipt_object.hpp"

namespace kestrel::py {

namespace {

PyObject* receipt_new(PyTypeObject* type, PyObject*, PyObject*) {
    const Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
    if (name) PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
    return nullptr;
}

ReceiptObject* receipt_of(PyObject* self) { return reinterpret_cast<ReceiptObject*>(self); }

PyObject* get_is_authorized(PyObject* self, void*) { return PyBool_FromLong(receipt_of(self)->is_authorized); }
PyObject* get_sequence_id(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(receipt_of(self)->sequence_id); }
PyObject* get_timestamp_nanos(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(receipt_of(self)->timestamp_nanos);
}
PyObject* get_receipt_hash(PyObject* self, void*) {
    const ReceiptWire& wire = receipt_of(self)->wire;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(wire.data()), static_cast<Py_ssize_t>(wire.size()));
}

constexpr const char* kVerifyParams[] = {"key"};
constexpr Signature kVerifySignature{"verify", kVerifyParams, 1};

// verify recomputes the tag over the action the receipt describes, reading
// nonce, timestamp and sequence id back from the wire form.
PyObject* verify(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1];
    if (!bind_fastcall(kVerifySignature, args, nargs, kwnames, slots)) return nullptr;
    const ReceiptObject* receipt = receipt_of(self);  // the method descriptor checked its type
    ByteView key_bytes;
    if (!argument(kVerifySignature, 0, slots[0], key_bytes)) return nullptr;
    if (key_bytes.size != KESTREL_KEY_LEN) Py_RETURN_FALSE;

    const HmacKeyState primed(Key::from_bytes(key_bytes.data));  // the key's copy dies here, wiped
    return PyBool_FromLong(check_tag(primed, receipt->action_id.bytes(), receipt->payload,
                                     Receipt::from_wire(receipt->wire)) == KESTREL_OK);
}

PyGetSetDef kGetSet[] = {
    {"is_authorized", get_is_authorized, nullptr, nullptr, nullptr},
    {"sequence_id", get_sequence_id, nullptr, nullptr, nullptr},
    {"timestamp_nanos", get_timestamp_nanos, nullptr, nullptr, nullptr},
    {"receipt_hash", get_receipt_hash, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"verify", as_method(verify), METH_FASTCALL | METH_KEYWORDS,
     "verify($self, key)\n--\n\nRe-verify this receipt against a 32-byte boundary key."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Replay-resistant authorization receipt returned by `KestrelBoundary`.")},
    {Py_tp_new, reinterpret_cast<void*>(receipt_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(free_instance)},
    {Py_tp_getset, kGetSet},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.KestrelReceipt", sizeof(ReceiptObject), 0, kClassFlags, kSlots};

PyObject* g_type = nullptr;

}  // namespace

PyTypeObject* receipt_type() { return cached_type(g_type, kSpec); }

}  // namespace kestrel::py
