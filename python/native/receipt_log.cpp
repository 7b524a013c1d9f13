// LogWriter and LogVerifier: the receipt log's writer and check, over
// kestrel_log_*; the package's ReceiptLogWriter and verify-log are built on
// them. Each object owns its caller-placed storage, wiped when it goes.
#include <cstddef>
#include <cstdint>
#include <new>

#include "audit/log_line.hpp"
#include "boundary_face.hpp"
#include "fault.hpp"
#include "kestrel_log.h"
#include "receipt_args.hpp"

namespace kestrel::py::native {

namespace {

template <typename Storage>
struct LogObject {
    PyObject_HEAD
    Storage* storage;  // 64-aligned, owned
};

using WriterObject = LogObject<KestrelLogWriter>;
using VerifierObject = LogObject<KestrelLogVerifier>;

constexpr std::align_val_t kAlign{64};

template <typename Storage>
Storage* storage_of(PyObject* self) {
    return reinterpret_cast<LogObject<Storage>*>(self)->storage;
}

template <typename Storage, KestrelError (*init)(Storage*, const uint8_t*), KestrelError (*wipe)(Storage*)>
PyObject* log_new(PyTypeObject* type, PyObject* args, PyObject* kwargs, const Signature& signature) {
    PyObject* slots[1];
    if (!bind_tuple(signature, args, kwargs, slots)) return nullptr;
    Key key;
    if (!convert_key(signature, 0, slots[0], key)) return nullptr;
    auto* storage = new (kAlign, std::nothrow) Storage;
    if (storage == nullptr) return PyErr_NoMemory();
    if (init(storage, key.data()) != KESTREL_OK) internal_fault("aligned receipt log storage was refused");
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        wipe(storage);
        ::operator delete(storage, kAlign);
        return nullptr;
    }
    reinterpret_cast<LogObject<Storage>*>(self)->storage = storage;
    return self;
}

template <typename Storage, KestrelError (*wipe)(Storage*)>
void log_dealloc(PyObject* self) {
    if (Storage* storage = storage_of<Storage>(self)) {
        wipe(storage);
        ::operator delete(storage, kAlign);
    }
    free_instance(self);
}

PyObject* new_line(KestrelError code, const char* line, std::size_t length) {
    if (code == KESTREL_ERROR_LOG_CLOSED) {
        PyErr_SetString(PyExc_ValueError, "the receipt log has its final seal: nothing more can be written to it");
        return nullptr;
    }
    if (code != KESTREL_OK) internal_fault("the log writer refused a checked line");
    return PyUnicode_FromStringAndSize(line, static_cast<Py_ssize_t>(length));
}

// ---- LogWriter ---------------------------------------------------------------

constexpr const char* kKeyParams[] = {"key"};
constexpr Signature kWriterSignature{"LogWriter", kKeyParams, 1};
constexpr Signature kVerifierSignature{"LogVerifier", kKeyParams, 1};

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return log_new<KestrelLogWriter, kestrel_log_writer_init, kestrel_log_writer_wipe>(type, args, kwargs,
                                                                                       kWriterSignature);
}

constexpr const char* kRecordParams[] = {"axis", "position", "velocity", "receipt"};
constexpr Signature kRecordSignature{"record", kRecordParams, 4};

PyObject* record(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[4];
    if (!bind_fastcall(kRecordSignature, args, nargs, kwnames, slots)) return nullptr;
    std::int32_t axis = 0;
    double position = 0.0;
    double velocity = 0.0;
    ByteBuffer receipt;
    std::uint8_t wire[KESTREL_RECEIPT_WIRE_LEN];
    if (!argument(kRecordSignature, 0, slots[0], axis) || !argument(kRecordSignature, 1, slots[1], position) ||
        !argument(kRecordSignature, 2, slots[2], velocity) || !argument(kRecordSignature, 3, slots[3], receipt) ||
        !receipt_wire(receipt, axis, wire)) {
        return nullptr;
    }
    char line[KESTREL_LOG_LINE_MAX];
    std::size_t length = 0;
    const KestrelError code =
        kestrel_log_writer_record(storage_of<KestrelLogWriter>(self), axis, position, velocity, wire, line, &length);
    if (code != KESTREL_OK && code != KESTREL_ERROR_LOG_CLOSED) {
        KestrelReceiptFields fields;
        if (kestrel_receipt_parse(wire, &fields) != KESTREL_OK) {
            internal_fault("kestrel_receipt_parse refused two valid pointers");
        }
        return PyErr_Format(PyExc_ValueError,
                            "receipt of sequence id %llu refused, as a receipt guard under this log's key refuses it "
                            "(%s: %s), for axis %d; nothing was written",
                            static_cast<unsigned long long>(fields.sequence_id), kestrel_error_name(code),
                            kestrel_error_message(code), static_cast<int>(axis));
    }
    return new_line(code, line, length);
}

constexpr const char* kRefusalParams[] = {"kind", "axis", "position", "velocity", "time_ns"};
constexpr Signature kRefusalSignature{"refusal", kRefusalParams, 5};

PyObject* refusal(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[5];
    if (!bind_fastcall(kRefusalSignature, args, nargs, kwnames, slots)) return nullptr;
    Text kind;
    std::int32_t axis = 0;
    double position = 0.0;
    double velocity = 0.0;
    std::uint64_t time_ns = 0;
    if (!argument(kRefusalSignature, 0, slots[0], kind) || !argument(kRefusalSignature, 1, slots[1], axis) ||
        !argument(kRefusalSignature, 2, slots[2], position) || !argument(kRefusalSignature, 3, slots[3], velocity) ||
        !argument(kRefusalSignature, 4, slots[4], time_ns)) {
        return nullptr;
    }
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(kind.str.get(), &size);
    if (name == nullptr) return nullptr;
    const KestrelError code = audit::refusal_kind({name, static_cast<std::size_t>(size)});
    char line[KESTREL_LOG_LINE_MAX];
    std::size_t length = 0;
    const KestrelError result = kestrel_log_writer_refusal(storage_of<KestrelLogWriter>(self), code, axis, position,
                                                           velocity, time_ns, line, &length);
    if (result == KESTREL_ERROR_LOG_REFUSAL_KIND) {
        return PyErr_Format(PyExc_ValueError, "%R is not the violation_type of a refusal; nothing was written",
                            kind.str.get());
    }
    return new_line(result, line, length);
}

constexpr const char* kTripParams[] = {"function", "joint", "value", "limit", "time_ns"};
constexpr Signature kTripSignature{"trip", kTripParams, 5};

PyObject* trip(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[5];
    if (!bind_fastcall(kTripSignature, args, nargs, kwnames, slots)) return nullptr;
    Text function;
    std::uint64_t joint = 0;
    KestrelTrip t{};
    if (!argument(kTripSignature, 0, slots[0], function) || !argument(kTripSignature, 1, slots[1], joint) ||
        !argument(kTripSignature, 2, slots[2], t.value) || !argument(kTripSignature, 3, slots[3], t.limit) ||
        !argument(kTripSignature, 4, slots[4], t.time_ns)) {
        return nullptr;
    }
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(function.str.get(), &size);
    if (name == nullptr) return nullptr;
    t.function = audit::trip_function({name, static_cast<std::size_t>(size)});
    if (t.function == KESTREL_TRIP_NONE || joint >= KESTREL_JOINT_LIMITER_MAX_JOINTS) {
        return PyErr_Format(PyExc_ValueError, "%R (joint %llu) is not a monitor's trip; nothing was written",
                            function.str.get(), static_cast<unsigned long long>(joint));
    }
    t.joint = static_cast<std::uint32_t>(joint);
    char line[KESTREL_LOG_LINE_MAX];
    std::size_t length = 0;
    const KestrelError code = kestrel_log_writer_trip(storage_of<KestrelLogWriter>(self), &t, line, &length);
    return new_line(code, line, length);
}

PyObject* seal(PyObject* self, PyObject* final) {
    const int truth = PyObject_IsTrue(final);
    if (truth < 0) return nullptr;
    char line[KESTREL_LOG_LINE_MAX];
    std::size_t length = 0;
    const KestrelError code = kestrel_log_writer_seal(storage_of<KestrelLogWriter>(self), truth, line, &length);
    return new_line(code, line, length);
}

constexpr const char* kRekeyParams[] = {"new_key"};
constexpr Signature kRekeySignature{"rekey", kRekeyParams, 1};

PyObject* rekey(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1];
    if (!bind_fastcall(kRekeySignature, args, nargs, kwnames, slots)) return nullptr;
    Key key;
    if (!convert_key(kRekeySignature, 0, slots[0], key) ||
        !zero_key_rule(key, ZeroKey::refuse, "LogWriter", "new_key", "")) {
        return nullptr;
    }
    char line[KESTREL_LOG_LINE_MAX];
    std::size_t length = 0;
    const KestrelError code = kestrel_log_writer_rekey(storage_of<KestrelLogWriter>(self), key.data(), line, &length);
    return new_line(code, line, length);
}

PyObject* get_lines(PyObject* self, void*) {
    std::uint64_t lines = 0;
    if (kestrel_log_writer_lines(storage_of<KestrelLogWriter>(self), &lines) != KESTREL_OK) {
        internal_fault("a live log writer refused to count its lines");
    }
    return PyLong_FromUnsignedLongLong(lines);
}

PyMethodDef kWriterMethods[] = {
    {"record", as_method(record), METH_FASTCALL | METH_KEYWORDS,
     "record($self, axis, position, velocity, receipt)\n--\n\n"
     "The line (a str ending in a newline) of an action and its 60-byte receipt,\n"
     "taken into the digest the next seal covers: write it before the next call.\n"
     "KestrelViolation(\"invalid_receipt\") for a receipt that is not 60 bytes long;\n"
     "ValueError, nothing taken, if a receipt guard under the log's key would refuse\n"
     "the receipt, or after the final seal."},
    {"refusal", as_method(refusal), METH_FASTCALL | METH_KEYWORDS,
     "refusal($self, kind, axis, position, velocity, time_ns)\n--\n\n"
     "The line of an action the boundary refused with violation_type `kind`, at\n"
     "time_ns (ns since the Unix epoch); as record, ValueError for an unknown kind."},
    {"trip", as_method(trip), METH_FASTCALL | METH_KEYWORDS,
     "trip($self, function, joint, value, limit, time_ns)\n--\n\n"
     "The line of a monitor's trip (a Trip's fields); ValueError for a function that\n"
     "is not one that trips."},
    {"rekey", as_method(rekey), METH_FASTCALL | METH_KEYWORDS,
     "rekey($self, new_key)\n--\n\n"
     "The rotation line: it seals every line so far under the old key and names\n"
     "new_key (32 bytes) by its fingerprint; the lines after it are under new_key.\n"
     "ValueError for a key of 32 zero bytes, or after the final seal."},
    {"seal", seal, METH_O,
     "seal($self, final, /)\n--\n\n"
     "A checkpoint (final false) or the final seal over every line so far; after\n"
     "the final seal every call raises ValueError."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kWriterGetSet[] = {
    {"lines", get_lines, nullptr, "How many lines the writer has formed, seals included.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kWriterSlots[] = {
    {Py_tp_doc, const_cast<char*>("LogWriter(key)\n--\n\n"
                                  "The lines of one receipt log under the boundary's 32-byte key. The package's\n"
                                  "ReceiptLogWriter writes them; use that.")},
    {Py_tp_new, reinterpret_cast<void*>(writer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(log_dealloc<KestrelLogWriter, kestrel_log_writer_wipe>)},
    {Py_tp_methods, kWriterMethods},
    {Py_tp_getset, kWriterGetSet},
    {0, nullptr},
};

PyType_Spec kWriterSpec = {"kestrel.LogWriter", sizeof(WriterObject), 0, kClassFlags, kWriterSlots};
PyObject* g_writer_type = nullptr;

// ---- LogVerifier -------------------------------------------------------------

PyObject* verifier_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return log_new<KestrelLogVerifier, kestrel_log_verifier_init, kestrel_log_verifier_wipe>(type, args, kwargs,
                                                                                             kVerifierSignature);
}

// The finding as the package names its code: the guard's refusal, or the kind.
int call_back(void* context, const KestrelLogFinding* finding) {
    const char* code = finding->kind == KESTREL_LOG_REFUSED ? kestrel_error_name(finding->error)
                                                            : kestrel_log_finding_name(finding->kind);
    Ref result(PyObject_CallFunction(static_cast<PyObject*>(context), "Kss",
                                     static_cast<unsigned long long>(finding->line), code, finding->text));
    return result ? 0 : 1;  // stop with the callback's exception set
}

constexpr const char* kAddKeyParams[] = {"key"};
constexpr Signature kAddKeySignature{"add_key", kAddKeyParams, 1};

PyObject* add_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1];
    if (!bind_fastcall(kAddKeySignature, args, nargs, kwnames, slots)) return nullptr;
    Key key;
    if (!convert_key(kAddKeySignature, 0, slots[0], key)) return nullptr;
    const KestrelError code = kestrel_log_verifier_add_key(storage_of<KestrelLogVerifier>(self), key.data());
    if (code == KESTREL_ERROR_LOG_KEYS || code == KESTREL_ERROR_LOG_CLOSED) {
        PyErr_SetString(PyExc_ValueError, kestrel_error_message(code));
        return nullptr;
    }
    if (code != KESTREL_OK) internal_fault("a live log verifier refused a key");
    Py_RETURN_NONE;
}

constexpr const char* kFeedParams[] = {"data", "on_finding"};
constexpr Signature kFeedSignature{"feed", kFeedParams, 1};

bool with_callback(KestrelError code) {
    if (code == KESTREL_ERROR_LOG_STOPPED) return false;  // the callback's exception is set
    if (code == KESTREL_ERROR_LOG_CLOSED) {
        PyErr_SetString(PyExc_ValueError, "this check has finished; start another");
        return false;
    }
    return true;
}

PyObject* feed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[2];
    if (!bind_fastcall(kFeedSignature, args, nargs, kwnames, slots)) return nullptr;
    ByteBuffer data;
    if (!argument(kFeedSignature, 0, slots[0], data)) return nullptr;
    PyObject* callback = slots[1] == Py_None ? nullptr : slots[1];
    if (!with_callback(kestrel_log_verifier_feed(storage_of<KestrelLogVerifier>(self), data.data(), data.size(),
                                                 callback != nullptr ? call_back : nullptr, callback))) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// counts: a dict of the nonzero counts by name, extra ones first.
bool add_counts(PyObject* dict, const char* key, const uint64_t* counts,
                std::initializer_list<std::pair<const char*, uint64_t>> extra) {
    Ref counted(PyDict_New());
    if (!counted) return false;
    auto put = [&](const char* name, uint64_t n) {
        if (n == 0) return true;
        Ref value(PyLong_FromUnsignedLongLong(n));
        return value && PyDict_SetItemString(counted.get(), name, value.get()) == 0;
    };
    for (const auto& [name, n] : extra) {
        if (!put(name, n)) return false;
    }
    for (KestrelError e = 1; e < KESTREL_LOG_KINDS; ++e) {
        if (!put(kestrel_error_name(e), counts[e])) return false;
    }
    return PyDict_SetItemString(dict, key, counted.get()) == 0;
}

PyObject* finish(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* kParams[] = {"on_finding"};
    static constexpr Signature kSignature{"finish", kParams, 0};
    PyObject* slots[1];
    if (!bind_fastcall(kSignature, args, nargs, kwnames, slots)) return nullptr;
    PyObject* callback = slots[0] == nullptr || slots[0] == Py_None ? nullptr : slots[0];
    KestrelLogSummary s;
    if (!with_callback(kestrel_log_verifier_finish(storage_of<KestrelLogVerifier>(self),
                                                   callback != nullptr ? call_back : nullptr, callback, &s))) {
        return nullptr;
    }
    static constexpr const char* kSeal[] = {"missing", "valid", "invalid"};
    Ref summary(Py_BuildValue(
        "{sKsKsKsKsKsKsKsKsKsKsKsKsssisi}", "lines", (unsigned long long)s.lines, "accepted",
        (unsigned long long)s.accepted, "rotations", (unsigned long long)s.rotations, "unchecked",
        (unsigned long long)s.unchecked, "first_unchecked_line", (unsigned long long)s.first_unchecked_line, "gaps",
        (unsigned long long)s.gaps, "first_bad_line", (unsigned long long)s.first_bad_line, "first_gap_line",
        (unsigned long long)s.first_gap_line, "sealed_through", (unsigned long long)s.sealed_through, "final_seal_line",
        (unsigned long long)s.final_seal_line, "after_final_seal", (unsigned long long)s.after_final_seal, "torn_line",
        (unsigned long long)s.torn_line, "seal", kSeal[s.seal], "verdict", s.verdict, "strict_verdict",
        s.strict_verdict));
    if (!summary ||
        !add_counts(summary.get(), "refused", s.refused, {{"malformed", s.malformed}, {"seal", s.bad_seals}}) ||
        !add_counts(summary.get(), "refusals", s.refusals, {})) {
        return nullptr;
    }
    Ref trips(PyDict_New());
    if (!trips) return nullptr;
    for (KestrelSafetyFunction f = KESTREL_TRIP_NONE + 1; f < KESTREL_LOG_TRIP_FUNCTIONS; ++f) {
        const char* name = kestrel_safety_function_name(f);
        if (name == nullptr || s.trips[f] == 0) continue;
        const Ref n(PyLong_FromUnsignedLongLong(s.trips[f]));
        if (!n || PyDict_SetItemString(trips.get(), name, n.get()) != 0) return nullptr;
    }
    if (PyDict_SetItemString(summary.get(), "trips", trips.get()) != 0) return nullptr;
    return summary.release();
}

PyMethodDef kVerifierMethods[] = {
    {"add_key", as_method(add_key), METH_FASTCALL | METH_KEYWORDS,
     "add_key($self, key)\n--\n\n"
     "One more 32-byte key the log may be under (at most 16 in all): each segment\n"
     "is checked under the key its rotation line names; give every key before\n"
     "the first feed."},
    {"feed", as_method(feed), METH_FASTCALL | METH_KEYWORDS,
     "feed($self, data, on_finding=None)\n--\n\n"
     "Check the next bytes of the log (any bytes-like object; a line may span two\n"
     "calls), calling on_finding(line, code, text) for each finding; an exception\n"
     "it raises stops the check and is raised here."},
    {"finish", as_method(finish), METH_FASTCALL | METH_KEYWORDS,
     "finish($self, on_finding=None)\n--\n\n"
     "Check a last line without newline and return the summary as a dict."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kVerifierSlots[] = {
    {Py_tp_doc, const_cast<char*>("LogVerifier(key)\n--\n\n"
                                  "The check of one receipt log under the boundary's 32-byte key, fed in pieces.\n"
                                  "The package's verify_log and verify-log use it.")},
    {Py_tp_new, reinterpret_cast<void*>(verifier_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(log_dealloc<KestrelLogVerifier, kestrel_log_verifier_wipe>)},
    {Py_tp_methods, kVerifierMethods},
    {0, nullptr},
};

PyType_Spec kVerifierSpec = {"kestrel.LogVerifier", sizeof(VerifierObject), 0, kClassFlags, kVerifierSlots};
PyObject* g_verifier_type = nullptr;

constexpr const char* kFingerprintParams[] = {"key"};
constexpr Signature kFingerprintSignature{"key_fingerprint", kFingerprintParams, 1};

PyObject* key_fingerprint(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1];
    if (!bind_fastcall(kFingerprintSignature, args, nargs, kwnames, slots)) return nullptr;
    Key key;
    if (!convert_key(kFingerprintSignature, 0, slots[0], key)) return nullptr;
    std::uint8_t fingerprint[KESTREL_LOG_FINGERPRINT_LEN];
    if (kestrel_log_key_fingerprint(key.data(), fingerprint) != KESTREL_OK) {
        internal_fault("kestrel_log_key_fingerprint refused two valid pointers");
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(fingerprint), sizeof fingerprint);
}

}  // namespace

PyMethodDef kLogFunctions[] = {
    {"key_fingerprint", as_method(key_fingerprint), METH_FASTCALL | METH_KEYWORDS,
     "key_fingerprint(key)\n--\n\n"
     "The 8 bytes that name a 32-byte key in a receipt log's rotation lines: the\n"
     "first 8 of HMAC-SHA-256(key, \"kestrel key fingerprint v1\"). They reveal\n"
     "nothing of the key."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* log_writer_type() { return cached_type(g_writer_type, kWriterSpec); }
PyTypeObject* log_verifier_type() { return cached_type(g_verifier_type, kVerifierSpec); }

}  // namespace kestrel::py::native
