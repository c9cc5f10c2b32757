// Texts for the values of an enumeration (or of a set of numeric constants): each
// one keeps a table of its values and their texts beside its own definition, and
// this lookup reads any such table.
//
// An enumeration of our own ends in Count, and its table lists every value from 0
// up to Count in order; a static_assert of EveryValueOnce beside the table makes a
// value added without its text fail the build. The text the caller names for
// "none of these" is then only ever given to numbers outside the enumeration: a
// value a peer or a stored file brought in. A table over a set we do not number
// ourselves (wire types with gaps) is walked value by value in its tests instead.
#pragma once
#include <cstddef>

template <typename Value> struct EnumText {
    Value value;
    const char* text;
};

// Whether the table holds each value from 0 to count - 1 exactly once, in order,
// each with a text.
template <typename Value, size_t N>
constexpr bool EveryValueOnce(const EnumText<Value> (&table)[N], Value count)
{
    if (N != static_cast<size_t>(count)) return false;
    for (size_t i = 0; i < N; i++)
        if (static_cast<size_t>(table[i].value) != i || !table[i].text) return false;
    return true;
}

template <typename Value, size_t N>
const char* TextOf(const EnumText<Value> (&table)[N], Value value, const char* otherwise)
{
    for (const EnumText<Value>& entry : table)
        if (entry.value == value) return entry.text;
    return otherwise;
}
