// Texts for the values of an enumeration (or of a set of numeric constants): each
// one keeps a table of its values and their texts beside its own definition, and
// this lookup reads any such table. A value missing from the table gets the text
// the caller names for "none of these".
#pragma once
#include <cstddef>

template <typename Value> struct EnumText {
    Value value;
    const char* text;
};

template <typename Value, size_t N>
const char* TextOf(const EnumText<Value> (&table)[N], Value value, const char* otherwise)
{
    for (const EnumText<Value>& entry : table)
        if (entry.value == value) return entry.text;
    return otherwise;
}
