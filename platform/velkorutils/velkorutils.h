/*
 * velkorutils: stand-in for the device maker's utility library.
 *
 * Eight plain C functions, exported under their names with a leading underscore
 * (_Backward, _BCDToInt, ...). Every argument is a 32-bit value or a pointer and every
 * result an int32_t, of which callers use the low bits documented below. None of them
 * fails on the inputs documented here.
 *
 * Choices this stand-in makes where the maker's contract leaves room:
 *   - TripleDES_*: two-key Triple DES (EDE, K1 = key bytes 0..7, K2 = key bytes 8..15),
 *     ECB over the 16 bytes, no padding.
 *   - LeftShiftKey: the 16 bytes, read as one 128-bit big-endian number, rotated left by one.
 *   - CalcRegisterSum: CRC-16/CCITT-FALSE (poly 0x1021, init 0xFFFF, no reflection, no final
 *     xor) over block bytes 0..13.
 *   - IntToBCD: the argument is taken as unsigned; values above 99 keep their last two
 *     decimal digits (IntToBCD(123) == 0x23).
 *   - BCDToInt: only the low 8 bits count; the result is high nibble * 10 + low nibble, with
 *     nibbles above 9 taken as they are (BCDToInt(0x1A) == 20, BCDToInt(0xFF) == 165).
 */
#ifndef VELKORUTILS_H
#define VELKORUTILS_H

#include <stdint.h>

/* Exported as the name with a leading underscore: an assembler label on ELF, the module
 * definition file on Windows. */
#if defined(_WIN32)
#define VELKORUTILS_API
#define VELKORUTILS_SYMBOL(name)
#elif defined(VELKORUTILS_BUILD)
#define VELKORUTILS_API __attribute__((visibility("default")))
#define VELKORUTILS_SYMBOL(name) __asm__("_" #name)
#else
#define VELKORUTILS_API
#define VELKORUTILS_SYMBOL(name) __asm__("_" #name)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Copies count bytes reversed: dst[i] = src[count - 1 - i]. Writes nothing else. */
VELKORUTILS_API int32_t Backward(void* dst, const void* src, int32_t count)
    VELKORUTILS_SYMBOL(Backward);
/* Value of one packed-BCD byte (tens in the high nibble). */
VELKORUTILS_API int32_t BCDToInt(int32_t bcd) VELKORUTILS_SYMBOL(BCDToInt);
/* Packed-BCD byte of 0..99 (low 8 bits of the result). */
VELKORUTILS_API int32_t IntToBCD(int32_t value) VELKORUTILS_SYMBOL(IntToBCD);
/* Low 8 bits of the sum of count bytes. */
VELKORUTILS_API int32_t SumByte(const void* data, int32_t count) VELKORUTILS_SYMBOL(SumByte);
/* Rewrites a 16-byte scratch copy of a key text into a Triple DES key, in place. */
VELKORUTILS_API int32_t LeftShiftKey(void* key) VELKORUTILS_SYMBOL(LeftShiftKey);
/* Encrypts count bytes (a multiple of 8) in place under a prepared 16-byte key. */
VELKORUTILS_API int32_t TripleDES_Encrypt(const void* key, void* data, int32_t count)
    VELKORUTILS_SYMBOL(TripleDES_Encrypt);
/* Exact inverse of TripleDES_Encrypt under the same key. */
VELKORUTILS_API int32_t TripleDES_Decrypt(const void* key, void* data, int32_t count)
    VELKORUTILS_SYMBOL(TripleDES_Decrypt);
/* 16-bit check value of a 16-byte block; depends on bytes 0..13 only. */
VELKORUTILS_API int32_t CalcRegisterSum(const void* block) VELKORUTILS_SYMBOL(CalcRegisterSum);

#ifdef __cplusplus
}
#endif

#endif /* VELKORUTILS_H */
