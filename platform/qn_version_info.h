// File version records. A program carries its version in an ELF section ".qnverinfo" that
// QN_DEFINE_VERSION_RECORD defines; the three calls read it back from any program file:
//
//   offset 0  "QNVI"
//          4  u16 record version 1, u16 number of translations 1
//          8  u16 language 0x0804, u16 code page 0x03A8 (sub-block "080403a8")
//         12  key\0value\0 ... pairs, ended by an empty key
//
// VerQueryValue understands "\\VarFileInfo\\Translation" (the 4-byte translation entries) and
// "\\StringFileInfo\\<llllcccc>\\<key>" (the value text).
#pragma once

#include <cstdint>

#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814

// Defines the version record of the program being linked, with the version text (a string
// literal) as its "FileVersion".
#define QN_DEFINE_VERSION_RECORD(name, version_text)                                                           \
    extern "C" __attribute__((section(".qnverinfo"), used, aligned(4))) const char name[] =                  \
        "QNVI" "\x01" "\x00" "\x01" "\x00" "\x04" "\x08" "\xa8" "\x03" "FileVersion" "\0" version_text "\0"

// The size of the file's version record; 0 when it has none (last error 1813) or cannot be
// read.
uint32_t QN_GetFileVersionInfoSizeA(const char* cszFileName, uint32_t* puHandle);
// Copies the record (at most uSize bytes). 1 or 0.
int QN_GetFileVersionInfoA(const char* cszFileName, uint32_t uHandle, uint32_t uSize, void* pvData);
// Finds a value in a record read by QN_GetFileVersionInfoA. 1 or 0 (last error 1814).
int QN_VerQueryValueA(const void* pvBlock, const char* cszSubBlock, void** ppvBuffer, uint32_t* puLength);
