// parse_receipt, verify_receipt, encode_frame and decode_frame: the
// stateless side of receipt checking, and the argument rules that
// ReceiptGuard shares with them.
#include <cstring>

#include "boundary_face.hpp"
#include "fault.hpp"
#include "receipt_args.hpp"

namespace kestrel::py::native {

bool convert_key(const Signature& sig, std::size_t index, PyObject* obj, Key& out) {
    ByteBuffer key;
    if (!argument(sig, index, obj, key)) return false;
    if (key.size() != out.size()) {
        refuse_argument(sig.names[index], KESTREL_ERROR_INVALID_KEY_LENGTH);
        return false;
    }
    std::memcpy(out.data(), key.data(), out.size());
    return true;
}

bool receipt_wire(const ByteBuffer& receipt, std::int32_t axis, std::uint8_t (&wire)[KESTREL_RECEIPT_WIRE_LEN]) {
    if (receipt.size() != sizeof wire) {
        raise_refusal(axis, KESTREL_ERROR_INVALID_RECEIPT);
        return false;
    }
    std::memcpy(wire, receipt.data(), sizeof wire);
    return true;
}

bool convert_action(const Signature& sig, std::size_t first, PyObject* const* slots, Action& out) {
    ByteBuffer receipt;
    return argument(sig, first, slots[first], receipt) && argument(sig, first + 1, slots[first + 1], out.axis) &&
           argument(sig, first + 2, slots[first + 2], out.position) &&
           argument(sig, first + 3, slots[first + 3], out.velocity) && receipt_wire(receipt, out.axis, out.wire);
}

namespace {

PyObject* bytes_of(const std::uint8_t* data, std::size_t size) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size));
}

}  // namespace

bool convert_frame(const Signature& sig, std::size_t index, PyObject* obj, KestrelFrame& out) {
    ByteBuffer given;
    if (!argument(sig, index, obj, given)) return false;
    // Decoded from a copy, so that a buffer that another thread or process
    // writes to cannot change between the decoding and the action returned.
    std::uint8_t bytes[KESTREL_FRAME_LEN];
    KestrelError code = KESTREL_ERROR_INVALID_FRAME;
    if (given.size() == sizeof bytes) {
        std::memcpy(bytes, given.data(), sizeof bytes);
        code = kestrel_frame_decode(bytes, &out);
    }
    if (code == KESTREL_OK) return true;
    raise_refusal(0, code);
    return false;
}

PyObject* new_frame(const KestrelFrame& frame) {
    PyObject* items[] = {PyLong_FromLong(frame.axis), PyFloat_FromDouble(frame.position),
                         PyFloat_FromDouble(frame.velocity), bytes_of(frame.receipt, sizeof frame.receipt)};
    return new_named_tuple(&Imported::frame, items, 4);
}

namespace {

constexpr const char* kParseParams[] = {"data"};
constexpr Signature kParseSignature{"parse_receipt", kParseParams, 1};

PyObject* parse_receipt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1];
    if (!bind_fastcall(kParseSignature, args, nargs, kwnames, slots)) return nullptr;
    ByteBuffer data;
    std::uint8_t wire[KESTREL_RECEIPT_WIRE_LEN];
    if (!argument(kParseSignature, 0, slots[0], data) || !receipt_wire(data, 0, wire)) return nullptr;
    KestrelReceiptFields fields;
    if (kestrel_receipt_parse(wire, &fields) != 0) internal_fault("kestrel_receipt_parse refused two valid pointers");
    PyObject* items[] = {bytes_of(fields.nonce, sizeof fields.nonce),
                         PyLong_FromUnsignedLongLong(fields.timestamp_nanos),
                         PyLong_FromUnsignedLongLong(fields.sequence_id), bytes_of(fields.tag, sizeof fields.tag)};
    return new_named_tuple(&Imported::receipt_fields, items, 4);
}

constexpr const char* kVerifyParams[] = {"key", "receipt", "axis", "position", "velocity"};
constexpr Signature kVerifySignature{"verify_receipt", kVerifyParams, 5};

PyObject* verify_receipt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[5];
    if (!bind_fastcall(kVerifySignature, args, nargs, kwnames, slots)) return nullptr;
    Key key;
    Action action;
    if (!convert_key(kVerifySignature, 0, slots[0], key) || !convert_action(kVerifySignature, 1, slots, action)) {
        return nullptr;
    }
    const KestrelError code =
        kestrel_receipt_verify(key.data(), action.wire, action.axis, action.position, action.velocity);
    if (code != 0) return raise_refusal(action.axis, code);
    Py_RETURN_NONE;
}

constexpr const char* kEncodeParams[] = {"axis", "position", "velocity", "receipt"};
constexpr Signature kEncodeSignature{"encode_frame", kEncodeParams, 4};

PyObject* encode_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[4];
    if (!bind_fastcall(kEncodeSignature, args, nargs, kwnames, slots)) return nullptr;
    KestrelFrame frame;
    ByteBuffer receipt;
    if (!argument(kEncodeSignature, 0, slots[0], frame.axis) ||
        !argument(kEncodeSignature, 1, slots[1], frame.position) ||
        !argument(kEncodeSignature, 2, slots[2], frame.velocity) || !argument(kEncodeSignature, 3, slots[3], receipt) ||
        !receipt_wire(receipt, frame.axis, frame.receipt)) {
        return nullptr;
    }
    PyObject* encoded = PyBytes_FromStringAndSize(nullptr, KESTREL_FRAME_LEN);
    if (encoded == nullptr) return nullptr;
    if (kestrel_frame_encode(&frame, reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(encoded))) != 0) {
        internal_fault("kestrel_frame_encode refused two valid pointers");
    }
    return encoded;
}

constexpr const char* kDecodeParams[] = {"frame"};
constexpr Signature kDecodeSignature{"decode_frame", kDecodeParams, 1};

PyObject* decode_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1];
    if (!bind_fastcall(kDecodeSignature, args, nargs, kwnames, slots)) return nullptr;
    KestrelFrame frame;
    if (!convert_frame(kDecodeSignature, 0, slots[0], frame)) return nullptr;
    return new_frame(frame);
}

}  // namespace

PyMethodDef kReceiptFunctions[] = {
    {"parse_receipt", as_method(parse_receipt), METH_FASTCALL | METH_KEYWORDS,
     "parse_receipt(data)\n--\n\n"
     "Read the nonce, timestamp, sequence id and tag out of a receipt's 60-byte wire\n"
     "form (KestrelReceipt.receipt_hash) and return them as ReceiptFields. Any 60\n"
     "bytes parse; whether the tag is right is for ReceiptGuard.check or\n"
     "verify_receipt to say. `data` is any bytes-like object, taken at its buffer's\n"
     "length. A receipt that is not 60 bytes long is refused with KestrelViolation\n"
     "\"invalid_receipt\" (axis 0), as ReceiptGuard.check refuses it. TypeError for\n"
     "an object that is not bytes-like. Keeps no state: safe to share between threads."},
    {"verify_receipt", as_method(verify_receipt), METH_FASTCALL | METH_KEYWORDS,
     "verify_receipt(key, receipt, axis, position, velocity)\n--\n\n"
     "Check that `receipt` (the 60-byte wire form) carries the right tag under the\n"
     "32-byte `key` for the action (axis, position, velocity), and return None, or\n"
     "raise KestrelViolation \"authentication_failure\", or \"invalid_receipt\" for a\n"
     "receipt that is not 60 bytes long. Keeps no replay state: the same receipt\n"
     "verifies every time (ReceiptGuard refuses replays). ValueError for a key of\n"
     "another length. Keeps no state: safe to share between threads."},
    {"encode_frame", as_method(encode_frame), METH_FASTCALL | METH_KEYWORDS,
     "encode_frame(axis, position, velocity, receipt)\n--\n\n"
     "Return the 84-byte signed command frame that carries the action (axis,\n"
     "position, velocity) with `receipt`, its 60-byte wire form\n"
     "(KestrelReceipt.receipt_hash; any bytes-like object, taken at its buffer's\n"
     "length): version 1, three zero bytes, the axis as int32 and the two doubles\n"
     "little-endian, bit for bit (-0.0 and a NaN's payload are kept), then the\n"
     "receipt. The receipt is not checked; a receipt that is not 60 bytes long is\n"
     "refused with KestrelViolation \"invalid_receipt\". TypeError for an argument\n"
     "of the wrong type. Keeps no state: safe to share between threads."},
    {"decode_frame", as_method(decode_frame), METH_FASTCALL | METH_KEYWORDS,
     "decode_frame(frame)\n--\n\n"
     "Read the action and receipt out of an 84-byte signed command frame (any\n"
     "bytes-like object, taken at its buffer's length) and return them as a Frame,\n"
     "bit for bit. A frame that is not 84 bytes long, whose version is not 1 or\n"
     "whose reserved bytes 1-3 are not zero is refused with KestrelViolation\n"
     "\"invalid_frame\" (axis 0), as ReceiptGuard.check_frame refuses it. The\n"
     "receipt is not checked: a decoded frame is no more trustworthy than its bytes\n"
     "(ReceiptGuard.check_frame checks it). TypeError for an object that is not\n"
     "bytes-like. Keeps no state: safe to share between threads."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kestrel::py::native
