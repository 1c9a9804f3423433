/* Immutable, reference-counted property-list values (strings, numbers, booleans, data, arrays and
 * dictionaries with string keys) that the audio server, its clients and plug-ins pass to each other
 * as 8-byte references. Plain C, so values cross the plug-in boundary.
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

typedef const struct PLValue* PLRef;

typedef enum PLType {
    PLTypeNone = 0,
    PLTypeString = 1,
    PLTypeNumber = 2,
    PLTypeBoolean = 3,
    PLTypeData = 4,
    PLTypeArray = 5,
    PLTypeDictionary = 6,
} PLType;

PLRef PLRetain(PLRef value);
void PLRelease(PLRef value);
PLType PLGetType(PLRef value);
/* Deep equality; numbers compare by value (2 == 2.0). */
bool PLEqual(PLRef a, PLRef b);

/* Strings hold UTF-8 text; the bytes are copied. */
PLRef PLStringCreate(const char* utf8);
PLRef PLStringCreateWithBytes(const char* utf8, size_t length);
/* NUL-terminated; valid while the string lives. */
const char* PLStringGetUTF8(PLRef string);
size_t PLStringGetLength(PLRef string);

/* Numbers remember whether they were made from an integer or a floating-point value. */
PLRef PLNumberCreateInt64(int64_t value);
PLRef PLNumberCreateFloat64(double value);
bool PLNumberIsFloat(PLRef number);
/* Converting getters: a float read as an integer is truncated toward zero (2.5 reads 2) and clamped
 * to the integer's range (NaN reads 0). False when the value is not a number. */
bool PLNumberGetInt64(PLRef number, int64_t* out);
bool PLNumberGetInt32(PLRef number, int32_t* out);
bool PLNumberGetFloat64(PLRef number, double* out);
bool PLNumberGetFloat32(PLRef number, float* out);

PLRef PLBooleanCreate(bool value);
bool PLBooleanGetValue(PLRef boolean);

PLRef PLDataCreate(const void* bytes, size_t length);
const void* PLDataGetBytes(PLRef data);
size_t PLDataGetLength(PLRef data);

/* Arrays retain their values. */
PLRef PLArrayCreate(const PLRef* values, size_t count);
size_t PLArrayGetCount(PLRef array);
PLRef PLArrayGetValueAtIndex(PLRef array, size_t index);

/* Dictionaries retain their values and copy their keys; a key given twice keeps the last value. Keys
 * keep their creation order for iteration. */
PLRef PLDictionaryCreate(const char* const* keys, const PLRef* values, size_t count);
size_t PLDictionaryGetCount(PLRef dictionary);
PLRef PLDictionaryGetValue(PLRef dictionary, const char* key);
const char* PLDictionaryGetKeyAtIndex(PLRef dictionary, size_t index);
PLRef PLDictionaryGetValueAtIndex(PLRef dictionary, size_t index);

#ifdef __cplusplus
}
#endif

#endif
