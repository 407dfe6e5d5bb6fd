// The calls this library makes into velkorutils, the device maker's utility library, linked
// by name. Every argument is a 32-bit value or a pointer; callers use only the low bits of a
// result that the comment names.
#pragma once

#include <cstdint>

// The utility library exports each function under its name with a leading underscore: an
// assembler label on ELF; on Windows its import library maps the plain name.
#if defined(_WIN32)
#define VELKORUTILS_IMPORT(name)
#else
#define VELKORUTILS_IMPORT(name) __asm__("_" #name)
#endif

extern "C" {
// Copies count (2, 4, 5, 6 or 7) bytes with their order reversed; writes nothing else.
int32_t Backward(void* dst, const void* src, int32_t count) VELKORUTILS_IMPORT(Backward);
// Value 0..99 of one packed-BCD byte (zero-extended).
int32_t BCDToInt(int32_t bcd) VELKORUTILS_IMPORT(BCDToInt);
// Packed-BCD byte of 0..99 in the low 8 bits.
int32_t IntToBCD(int32_t value) VELKORUTILS_IMPORT(IntToBCD);
// Low 8 bits: sum of count bytes.
int32_t SumByte(const void* data, int32_t count) VELKORUTILS_IMPORT(SumByte);
// Prepares a 16-byte scratch copy of a key text for the two cipher calls, in place.
int32_t LeftShiftKey(void* key) VELKORUTILS_IMPORT(LeftShiftKey);
// Triple DES over count (16) bytes in place under a prepared key.
int32_t TripleDES_Encrypt(const void* key, void* data, int32_t count)
    VELKORUTILS_IMPORT(TripleDES_Encrypt);
int32_t TripleDES_Decrypt(const void* key, void* data, int32_t count)
    VELKORUTILS_IMPORT(TripleDES_Decrypt);
// Low 16 bits: check value of a 16-byte plain security block (bytes 0..13 count).
int32_t CalcRegisterSum(const void* block) VELKORUTILS_IMPORT(CalcRegisterSum);
}
