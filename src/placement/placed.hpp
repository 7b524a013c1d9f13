// Placed: a C++ object built in storage the caller owns, the pattern behind
// every opaque record of the C API that the caller allocates (the receipt
// guard, the receipt log's writer and verifier, the watchdog, the Governor).
//
// The record's published size and alignment bound the object; a mark written
// after the object is built tells made storage from zeroed, never-initialised
// or wiped storage, so that a call on the latter is refused instead of
// reading an object that is not there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "keys/wipe.hpp"

namespace kestrel {

// Placed<Object, Opaque, Align, Mark>: Object in the caller's Opaque record,
// which the C header publishes as Align-aligned. Mark is the storage's live
// mark, and its type the mark's width (a 4-aligned record keeps a 32-bit mark).
template <class Object, class Opaque, std::size_t Align, auto Mark>
class Placed {
    using MarkType = decltype(Mark);

    struct Storage {
        MarkType live;                                         // Mark while `object` holds a made object
        alignas(Object) unsigned char object[sizeof(Object)];  // the object, once made
    };

    static_assert(alignof(Opaque) == Align, "the record is aligned as published");
    static_assert(sizeof(Storage) <= sizeof(Opaque), "the object outgrew its published size");
    static_assert(alignof(Storage) <= Align, "the object needs a wider alignment than published");

    // storage returns the record's storage, or null when the pointer is null
    // or not Align-aligned.
    static Storage* storage(const Opaque* opaque) noexcept {
        if (opaque == nullptr || reinterpret_cast<std::uintptr_t>(opaque) % Align != 0) return nullptr;
        return reinterpret_cast<Storage*>(const_cast<Opaque*>(opaque));
    }

public:
    // placeable is true iff `opaque` is not null and is Align-aligned: what
    // make and wipe need before they touch it.
    [[nodiscard]] static bool placeable(const Opaque* opaque) noexcept { return storage(opaque) != nullptr; }

    // object returns the made object in `opaque`, or null for a null,
    // misaligned or never-made record. The mark is read as bytes: storage
    // never written holds whatever it holds, and reads as a number.
    [[nodiscard]] static Object* object(Opaque* opaque) noexcept {
        Storage* s = storage(opaque);
        if (s == nullptr) return nullptr;
        MarkType live{};
        std::memcpy(&live, &s->live, sizeof live);
        return live == Mark ? std::launder(reinterpret_cast<Object*>(s->object)) : nullptr;
    }
    [[nodiscard]] static const Object* object(const Opaque* opaque) noexcept {
        return object(const_cast<Opaque*>(opaque));
    }

    // wipe ends the object in `opaque`, if one was made (its destructor wipes
    // its secrets), and zeroes the whole record; false for a null or
    // misaligned record, which is not touched.
    static bool wipe(Opaque* opaque) noexcept {
        if (storage(opaque) == nullptr) return false;
        if (Object* made = object(opaque)) made->~Object();
        kestrel::wipe(opaque, sizeof(Opaque));
        return true;
    }

    // make wipes `opaque`, then builds an Object from `args` in it and marks
    // it made, the mark last. Null for a null or misaligned record, which is
    // not touched. The arguments must not point into the record: the caller
    // copies what it read from there (a key) before.
    template <class... Args>
    static Object* make(Opaque* opaque, Args&&... args) noexcept {
        if (!wipe(opaque)) return nullptr;
        Storage* s = storage(opaque);
        Object* made = new (s->object) Object(std::forward<Args>(args)...);
        s->live = Mark;
        return made;
    }
};

}  // namespace kestrel
