// The driver's pool wrapper and its registry values.
#include "torvexv.h"

PVOID ISOUSB_ExAllocatePool(POOL_TYPE poolType, SIZE_T size) {
  return ExAllocatePoolWithTag(poolType, size, ISOUSB_POOL_TAG);
}

VOID ISOUSB_ExFreePool(PVOID p) {
  if (p) ExFreePoolWithTag(p, ISOUSB_POOL_TAG);
}

void* IsoUsb_DecoderAllocate(std::size_t size, void* /*cookie*/) {
  return ISOUSB_ExAllocatePool(NonPagedPool, size);
}

void IsoUsb_DecoderRelease(void* p, void* /*cookie*/) { ISOUSB_ExFreePool(p); }

namespace {

// Registry paths are handed on from a zeroed 256-character buffer, so a path
// is at most 255 characters and always terminated.
constexpr size_t kRegistryPathChars = 256;

void CopyRegistryPath(WCHAR (&buffer)[kRegistryPathChars], PCWSTR path) {
  RtlZeroMemory(buffer, sizeof(buffer));
  for (size_t i = 0; i + 1 < kRegistryPathChars && path[i] != 0; ++i) buffer[i] = path[i];
}

// Takes the value only when it really is a 4-byte REG_DWORD: a value of another
// type written by other software must not be stored into a ULONG.
NTSTATUS StoreDwordValue(PWSTR /*valueName*/, ULONG valueType, PVOID valueData, ULONG valueLength,
                         PVOID /*context*/, PVOID entryContext) {
  if (valueType == REG_DWORD && valueLength == sizeof(ULONG) && valueData)
    RtlCopyMemory(entryContext, valueData, sizeof(ULONG));
  return STATUS_SUCCESS;
}

}  // namespace

BOOLEAN IsoUsb_GetRegistryDword(PCWSTR path, PCWSTR valueName, PULONG value) {
  WCHAR pathBuffer[kRegistryPathChars];
  CopyRegistryPath(pathBuffer, path);
  ULONG defaultValue = *value;
  RTL_QUERY_REGISTRY_TABLE table[2];
  RtlZeroMemory(table, sizeof(table));
  table[0].QueryRoutine = StoreDwordValue;
  table[0].Name = const_cast<PWSTR>(valueName);
  table[0].EntryContext = value;
  table[0].DefaultType = REG_DWORD;
  table[0].DefaultData = &defaultValue;
  table[0].DefaultLength = sizeof(ULONG);
  NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, pathBuffer, table,
                                           nullptr, nullptr);
  return NT_SUCCESS(status);
}

BOOLEAN IsoUsb_SetRegistryDword(PCWSTR path, PCWSTR valueName, PULONG value) {
  WCHAR pathBuffer[kRegistryPathChars];
  CopyRegistryPath(pathBuffer, path);
  NTSTATUS status = RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, pathBuffer, valueName,
                                          REG_DWORD, value, sizeof(ULONG));
  return NT_SUCCESS(status);
}
