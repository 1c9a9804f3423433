/* Immutable, reference-counted property-list values (strings, numbers, booleans, data, arrays and
 * dictionaries with string keys) that the audio server, its clients and plug-ins pass to each other
 * as 8-byte references. Plain C, so values cross the plug-in boundary; one shared library that the
 * server and every plug-in load, so a value made on one side is read by the same code on the other.
 *
 * Ownership: functions named Create or Copy return a reference the caller releases; Get functions
 * return a borrowed reference valid while its container lives. Retain and release are thread-safe;
 * values never change after creation. Every function accepts NULL (and returns NULL, 0 or false). */
#ifndef PLATFORM_AUDIOSERVER_PROPERTYLIST_H
#define PLATFORM_AUDIOSERVER_PROPERTYLIST_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(PL_BUILDING_LIBRARY)
#define PL_EXPORT __attribute__((visibility("default")))
#else
#define PL_EXPORT
#endif

typedef const struct PLValue* PLRef;

/* The deepest nesting a value may have: a string, number, boolean or data value is 1 deep, a container
 * one more than its deepest value. Containers that would be deeper are not made, so every value can be
 * stored, compared and released without unbounded recursion. */
#define PL_MAX_DEPTH 256

typedef enum PLType {
    PLTypeNone = 0,
    PLTypeString = 1,
    PLTypeNumber = 2,
    PLTypeBoolean = 3,
    PLTypeData = 4,
    PLTypeArray = 5,
    PLTypeDictionary = 6,
} PLType;

PL_EXPORT PLRef PLRetain(PLRef value);
PL_EXPORT void PLRelease(PLRef value);
PL_EXPORT PLType PLGetType(PLRef value);
/* Deep equality; numbers compare by value (2 == 2.0). */
PL_EXPORT bool PLEqual(PLRef a, PLRef b);
/* How deep the value is nested (see PL_MAX_DEPTH); 0 for NULL. */
PL_EXPORT size_t PLGetDepth(PLRef value);
/* The current number of references, for diagnostics: it may change at once on another thread. */
PL_EXPORT uint32_t PLGetRetainCount(PLRef value);

/* Strings hold UTF-8 text; the bytes are copied. */
PL_EXPORT PLRef PLStringCreate(const char* utf8);
PL_EXPORT PLRef PLStringCreateWithBytes(const char* utf8, size_t length);
/* NUL-terminated; valid while the string lives. */
PL_EXPORT const char* PLStringGetUTF8(PLRef string);
PL_EXPORT size_t PLStringGetLength(PLRef string);

/* Numbers remember whether they were made from an integer or a floating-point value. */
PL_EXPORT PLRef PLNumberCreateInt64(int64_t value);
PL_EXPORT PLRef PLNumberCreateFloat64(double value);
PL_EXPORT bool PLNumberIsFloat(PLRef number);
/* Converting getters: a float read as an integer is truncated toward zero (2.5 reads 2) and clamped
 * to the integer's range (NaN reads 0). False when the value is not a number. */
PL_EXPORT bool PLNumberGetInt64(PLRef number, int64_t* out);
PL_EXPORT bool PLNumberGetInt32(PLRef number, int32_t* out);
PL_EXPORT bool PLNumberGetFloat64(PLRef number, double* out);
PL_EXPORT bool PLNumberGetFloat32(PLRef number, float* out);

PL_EXPORT PLRef PLBooleanCreate(bool value);
PL_EXPORT bool PLBooleanGetValue(PLRef boolean);

PL_EXPORT PLRef PLDataCreate(const void* bytes, size_t length);
PL_EXPORT const void* PLDataGetBytes(PLRef data);
PL_EXPORT size_t PLDataGetLength(PLRef data);

/* Arrays retain their values. NULL when a value is NULL or the array would be nested deeper than
 * PL_MAX_DEPTH. */
PL_EXPORT PLRef PLArrayCreate(const PLRef* values, size_t count);
PL_EXPORT size_t PLArrayGetCount(PLRef array);
PL_EXPORT PLRef PLArrayGetValueAtIndex(PLRef array, size_t index);

/* Dictionaries retain their values and copy their keys; a key given twice keeps the last value. Keys
 * keep their creation order for iteration. Keys are text like strings: NULL when a key is not
 * well-formed UTF-8, a key or value is NULL, or the dictionary would be nested deeper than
 * PL_MAX_DEPTH. */
PL_EXPORT PLRef PLDictionaryCreate(const char* const* keys, const PLRef* values, size_t count);
PL_EXPORT size_t PLDictionaryGetCount(PLRef dictionary);
PL_EXPORT PLRef PLDictionaryGetValue(PLRef dictionary, const char* key);
PL_EXPORT const char* PLDictionaryGetKeyAtIndex(PLRef dictionary, size_t index);
PL_EXPORT PLRef PLDictionaryGetValueAtIndex(PLRef dictionary, size_t index);

#ifdef __cplusplus
}
#endif

#endif
