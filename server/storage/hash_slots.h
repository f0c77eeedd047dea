// Growable lookup tables of the in-memory maps (the primary-key map and both
// sides of the secondary-index maps).
//
// A table is an array of slot_count chains, slot_count a power of two; an
// entry carries its pk_hash_string value and a link to the next entry of its
// slot (the member given as Next), and sits in slot hash & (slot_count - 1).
// The table doubles whenever it holds more entries than slots, so chains stay
// about one entry long at any size. It only finds entries: the order in which
// a map is walked is kept apart from it (see pk_map.h, sec_index.h), so no
// walk depends on the slot count. No lock of its own.
#pragma once

#include <cstdint>
#include <cstdlib>

// Slots of a new table; the table grows from here as entries arrive.
constexpr uint64_t HASH_SLOTS_INITIAL = 256;

inline uint64_t hash_slot(uint64_t hash, uint64_t slot_count) { return hash & (slot_count - 1); }

// A zeroed array of n slots, or NULL when memory runs out.
template <typename E>
E** hash_slots_alloc(uint64_t n) {
    return static_cast<E**>(calloc(n, sizeof(E*)));
}

// Moves every entry into a table of twice the size. When that cannot be
// allocated the table stays as it is: every entry is still found, through
// longer chains, and the next addition tries again.
template <typename E, E* E::*Next>
void hash_slots_grow(E*** slots, uint64_t* slot_count) {
    const uint64_t n = *slot_count * 2;
    E** grown = hash_slots_alloc<E>(n);
    if (!grown) return;
    for (uint64_t s = 0; s < *slot_count; ++s) {
        E* e = (*slots)[s];
        while (e) {
            E* following = e->*Next;
            E** head = &grown[hash_slot(e->hash, n)];
            e->*Next = *head;
            *head = e;
            e = following;
        }
    }
    free(*slots);
    *slots = grown;
    *slot_count = n;
}

// Links e (its hash set) at the head of its slot; entries is the number of
// entries with e counted. Grows the table when it holds more entries than slots.
template <typename E, E* E::*Next>
void hash_slots_link(E*** slots, uint64_t* slot_count, E* e, uint64_t entries) {
    E** head = &(*slots)[hash_slot(e->hash, *slot_count)];
    e->*Next = *head;
    *head = e;
    if (entries > *slot_count) hash_slots_grow<E, Next>(slots, slot_count);
}

// Takes e out of its slot; nothing when it is not there.
template <typename E, E* E::*Next>
void hash_slots_unlink(E** slots, uint64_t slot_count, E* e) {
    for (E** p = &slots[hash_slot(e->hash, slot_count)]; *p; p = &((*p)->*Next)) {
        if (*p == e) {
            *p = e->*Next;
            return;
        }
    }
}

// The entry of hash h for which same(entry) holds, or NULL.
template <typename E, E* E::*Next, typename Same>
E* hash_slots_find(E* const* slots, uint64_t slot_count, uint64_t h, Same&& same) {
    for (E* e = slots[hash_slot(h, slot_count)]; e; e = e->*Next)
        if (e->hash == h && same(e)) return e;
    return nullptr;
}
