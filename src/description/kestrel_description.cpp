// The C face of the description reader: converts the request, runs the reader
// and turns every failure, allocation failures included, into a KestrelError
// and a message. No exception leaves this file.
#include "kestrel_description.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "description/description_failure.hpp"
#include "description/joint_rules.hpp"

struct KestrelDescription {
    kestrel::description::Description loaded;
};

namespace {

// A failure that no file or argument can cause: reported, then the process stops.
[[noreturn]] void internal_fault(const char* what) noexcept {
    std::fprintf(stderr, "kestrel: internal fault: %s\n", what);
    std::abort();
}

void write_message(char* message, std::size_t message_size, std::string_view text) {
    if (message == nullptr || message_size == 0) return;
    const std::size_t n = std::min(text.size(), message_size - 1);
    std::memcpy(message, text.data(), n);
    message[n] = '\0';
}

}  // namespace

extern "C" {

KESTREL_API KestrelError kestrel_description_load(const KestrelDescriptionRequest* request,
                                                  KestrelDescription** description, char* message, size_t message_size,
                                                  int32_t* os_error) {
    using namespace kestrel::description;
    if (os_error != nullptr) *os_error = 0;
    write_message(message, message_size, "");
    if (description == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    *description = nullptr;
    if (request == nullptr || (request->urdf_path == nullptr && request->yaml_path == nullptr) ||
        (request->joint_count > 0 && request->joints == nullptr)) {
        write_message(message, message_size, "no request, no file named, or no list of the joint names counted");
        return KESTREL_ERROR_INVALID_POINTER;
    }
    try {
        Selection selection;
        selection.soft_limits = (request->flags & KESTREL_DESCRIPTION_NO_SOFT_LIMITS) == 0;
        selection.strict = (request->flags & KESTREL_DESCRIPTION_STRICT) != 0;
        selection.allow_widening = (request->flags & KESTREL_DESCRIPTION_ALLOW_WIDENING) != 0;
        if (request->joints != nullptr) {
            selection.joints.emplace();
            for (std::size_t i = 0; i < request->joint_count; ++i) {
                if (request->joints[i] == nullptr) {
                    write_message(message, message_size, "a joint name is NULL");
                    return KESTREL_ERROR_INVALID_POINTER;
                }
                selection.joints->emplace_back(request->joints[i]);
            }
        }
        auto loaded = describe(request->urdf_path ? request->urdf_path : "",
                               request->yaml_path ? request->yaml_path : "", selection);
        *description = new KestrelDescription{std::move(loaded)};
        return KESTREL_OK;
    } catch (const DescriptionFailure& failure) {
        write_message(message, message_size, failure.message);
        if (os_error != nullptr) *os_error = failure.os_error;
        return failure.code;
    } catch (const std::bad_alloc&) {
        write_message(message, message_size, "not enough memory to read the robot description");
        return KESTREL_ERROR_OUT_OF_MEMORY;
    } catch (...) {
        // The parsers' own exceptions are caught inside the reader, so no file
        // can lead here (the fuzz target holds it to that): a fault of the
        // reader itself, reported and never thrown across the C face.
        internal_fault("the robot description reader threw an exception of its own");
    }
}

KESTREL_API size_t kestrel_description_joint_count(const KestrelDescription* description) {
    return description == nullptr ? 0 : description->loaded.joints.size();
}

KESTREL_API KestrelError kestrel_description_joint(const KestrelDescription* description, size_t index,
                                                   KestrelDescribedJoint* joint) {
    if (description == nullptr || joint == nullptr || index >= description->loaded.joints.size()) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    const auto& source = description->loaded.joints[index];
    joint->name = source.name.c_str();
    joint->type = source.type.c_str();
    joint->mimics = source.mimics.c_str();
    joint->limits = source.limits;
    for (int i = 0; i < KESTREL_JOINT_LIMITS_FIELDS; ++i)
        joint->sources[i] = source.sources[static_cast<std::size_t>(i)];
    joint->widened = source.widened;
    joint->effort = source.effort;
    return KESTREL_OK;
}

KESTREL_API size_t kestrel_description_warning_count(const KestrelDescription* description) {
    return description == nullptr ? 0 : description->loaded.warnings.size();
}

KESTREL_API const char* kestrel_description_warning(const KestrelDescription* description, size_t index) {
    if (description == nullptr || index >= description->loaded.warnings.size()) return nullptr;
    return description->loaded.warnings[index].c_str();
}

KESTREL_API const char* kestrel_description_source_name(uint32_t source) {
    switch (source) {
        case KESTREL_SOURCE_NONE:
            return "none";
        case KESTREL_SOURCE_URDF:
            return "URDF";
        case KESTREL_SOURCE_SOFT_LIMIT:
            return "soft limit";
        case KESTREL_SOURCE_YAML:
            return "YAML";
        default:
            return "unknown";
    }
}

KESTREL_API void kestrel_description_free(KestrelDescription* description) { delete description; }

}  // extern "C"
