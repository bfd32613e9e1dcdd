// The in-memory registry and the Rtl registry routines.
#include <cwctype>

#include "kernel_impl.h"

namespace torvex::platform {

namespace {
// Lower case, single separators, no trailing separator.
std::wstring NormalizePath(const std::wstring& path) {
  std::wstring out;
  for (wchar_t c : path) {
    if (c == L'/') c = L'\\';
    if (c == L'\\' && !out.empty() && out.back() == L'\\') continue;
    out += static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  }
  while (out.size() > 1 && out.back() == L'\\') out.pop_back();
  return out;
}

std::wstring NormalizeName(const std::wstring& name) {
  std::wstring out;
  for (wchar_t c : name) out += static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return out;
}

void CreateKeyLocked(Registry::Impl& r, const std::wstring& normalized) {
  for (size_t pos = 1; pos <= normalized.size(); ++pos) {
    if (pos == normalized.size() || normalized[pos] == L'\\') r.keys[normalized.substr(0, pos)];
  }
}
}  // namespace

void Registry::createKey(const std::wstring& keyPath) {
  std::lock_guard lock(impl_->mu);
  CreateKeyLocked(*impl_, NormalizePath(keyPath));
}

bool Registry::keyExists(const std::wstring& keyPath) const {
  std::lock_guard lock(impl_->mu);
  return impl_->keys.count(NormalizePath(keyPath)) != 0;
}

std::optional<Registry::Value> Registry::getValue(const std::wstring& keyPath, const std::wstring& valueName) const {
  std::lock_guard lock(impl_->mu);
  auto key = impl_->keys.find(NormalizePath(keyPath));
  if (key == impl_->keys.end()) return std::nullopt;
  auto value = key->second.find(NormalizeName(valueName));
  if (value == key->second.end()) return std::nullopt;
  return value->second;
}

void Registry::setValue(const std::wstring& keyPath, const std::wstring& valueName, Value value) {
  std::lock_guard lock(impl_->mu);
  std::wstring path = NormalizePath(keyPath);
  CreateKeyLocked(*impl_, path);
  impl_->keys[path][NormalizeName(valueName)] = std::move(value);
}

void Registry::setDword(const std::wstring& keyPath, const std::wstring& valueName, uint32_t value) {
  Value v{REG_DWORD, std::vector<uint8_t>(4)};
  std::memcpy(v.data.data(), &value, 4);
  setValue(keyPath, valueName, std::move(v));
}

std::optional<uint32_t> Registry::getDword(const std::wstring& keyPath, const std::wstring& valueName) const {
  auto v = getValue(keyPath, valueName);
  if (!v || v->type != REG_DWORD || v->data.size() != 4) return std::nullopt;
  uint32_t out;
  std::memcpy(&out, v->data.data(), 4);
  return out;
}

void Registry::deleteValue(const std::wstring& keyPath, const std::wstring& valueName) {
  std::lock_guard lock(impl_->mu);
  auto key = impl_->keys.find(NormalizePath(keyPath));
  if (key != impl_->keys.end()) key->second.erase(NormalizeName(valueName));
}

}  // namespace torvex::platform

using namespace torvex::platform;

namespace {
bool ResolvePath(ULONG relativeTo, PCWSTR path, std::wstring& out) {
  if (!path) return false;
  switch (relativeTo & ~RTL_REGISTRY_OPTIONAL) {
    case RTL_REGISTRY_ABSOLUTE:
      out = path;
      return true;
    case RTL_REGISTRY_SERVICES:
      out = std::wstring(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\") + path;
      return true;
    case RTL_REGISTRY_CONTROL:
      out = std::wstring(L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\") + path;
      return true;
    default:
      return false;
  }
}

bool CheckPassive(const char* what) {
  if (KeGetCurrentIrql() == PASSIVE_LEVEL) return true;
  CurrentImpl().violation(std::string(what) + " above PASSIVE_LEVEL");
  return false;
}

// Stores a value found or defaulted into a direct query's EntryContext.
NTSTATUS StoreDirect(ULONG type, const uint8_t* data, ULONG length, PVOID entryContext) {
  if (!entryContext) return STATUS_INVALID_PARAMETER;
  if (type == REG_SZ) {
    auto* target = static_cast<PUNICODE_STRING>(entryContext);
    ULONG bytes = length;
    if (!target->Buffer || target->MaximumLength < bytes) return STATUS_BUFFER_TOO_SMALL;
    if (bytes) std::memcpy(target->Buffer, data, bytes);
    target->Length = static_cast<USHORT>(bytes >= sizeof(WCHAR) ? bytes - sizeof(WCHAR) : 0);
    return STATUS_SUCCESS;
  }
  if (length <= sizeof(ULONG)) {
    if (length) std::memcpy(entryContext, data, length);
    return STATUS_SUCCESS;
  }
  // Larger binary data: the first LONG of the buffer gives its size as a negative number.
  LONG capacity;
  std::memcpy(&capacity, entryContext, sizeof capacity);
  if (capacity >= 0 || static_cast<ULONG>(-capacity) < length) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(entryContext, data, length);
  return STATUS_SUCCESS;
}
}  // namespace

NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                PVOID) {
  if (!CheckPassive("RtlQueryRegistryValues")) return STATUS_INVALID_DEVICE_STATE;
  std::wstring key;
  if (!QueryTable || !ResolvePath(RelativeTo, Path, key)) return STATUS_INVALID_PARAMETER;
  Registry& registry = Kernel::current().registry();
  if (!registry.keyExists(key) && !(RelativeTo & RTL_REGISTRY_OPTIONAL)) return STATUS_OBJECT_NAME_NOT_FOUND;
  for (auto* entry = QueryTable; entry->QueryRoutine || entry->Name; ++entry) {
    if (entry->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_TOPKEY)) return STATUS_NOT_IMPLEMENTED;
    if (!entry->Name) return STATUS_INVALID_PARAMETER;  // enumerating every value is not supported
    auto value = registry.getValue(key, entry->Name);
    ULONG type;
    std::vector<uint8_t> data;
    if (value) {
      type = value->type;
      data = value->data;
    } else if (entry->DefaultType != REG_NONE) {
      type = entry->DefaultType;
      ULONG length = entry->DefaultLength;
      if (length == 0 && type == REG_DWORD) length = 4;
      if (length == 0 && type == REG_SZ && entry->DefaultData)
        length = static_cast<ULONG>((std::wcslen(static_cast<PCWSTR>(entry->DefaultData)) + 1) * sizeof(WCHAR));
      if (!entry->DefaultData && length) return STATUS_INVALID_PARAMETER;
      auto* bytes = static_cast<const uint8_t*>(entry->DefaultData);
      data.assign(bytes, bytes + length);
    } else {
      if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
      continue;
    }
    NTSTATUS status;
    if (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) {
      status = StoreDirect(type, data.data(), static_cast<ULONG>(data.size()), entry->EntryContext);
    } else if (entry->QueryRoutine) {
      status = entry->QueryRoutine(entry->Name, type, data.data(), static_cast<ULONG>(data.size()), Context,
                                   entry->EntryContext);
    } else {
      status = STATUS_INVALID_PARAMETER;
    }
    if (!NT_SUCCESS(status)) return status;
    if ((entry->Flags & RTL_QUERY_REGISTRY_DELETE) && value) registry.deleteValue(key, entry->Name);
  }
  return STATUS_SUCCESS;
}

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength) {
  if (!CheckPassive("RtlWriteRegistryValue")) return STATUS_INVALID_DEVICE_STATE;
  std::wstring key;
  if (!ResolvePath(RelativeTo, Path, key) || !ValueName || (ValueLength && !ValueData)) return STATUS_INVALID_PARAMETER;
  if (ValueType == REG_DWORD && ValueLength != 4) return STATUS_INVALID_PARAMETER;
  auto* bytes = static_cast<const uint8_t*>(ValueData);
  Registry::Value value{ValueType, std::vector<uint8_t>(bytes, bytes + ValueLength)};
  Kernel::current().registry().setValue(key, ValueName, std::move(value));
  return STATUS_SUCCESS;
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
  if (!CheckPassive("RtlDeleteRegistryValue")) return STATUS_INVALID_DEVICE_STATE;
  std::wstring key;
  if (!ResolvePath(RelativeTo, Path, key) || !ValueName) return STATUS_INVALID_PARAMETER;
  Registry& registry = Kernel::current().registry();
  if (!registry.getValue(key, ValueName)) return STATUS_OBJECT_NAME_NOT_FOUND;
  registry.deleteValue(key, ValueName);
  return STATUS_SUCCESS;
}

NTSTATUS RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path) {
  if (!CheckPassive("RtlCreateRegistryKey")) return STATUS_INVALID_DEVICE_STATE;
  std::wstring key;
  if (!ResolvePath(RelativeTo, Path, key)) return STATUS_INVALID_PARAMETER;
  Kernel::current().registry().createKey(key);
  return STATUS_SUCCESS;
}

NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path) {
  if (!CheckPassive("RtlCheckRegistryKey")) return STATUS_INVALID_DEVICE_STATE;
  std::wstring key;
  if (!ResolvePath(RelativeTo, Path, key)) return STATUS_INVALID_PARAMETER;
  return Kernel::current().registry().keyExists(key) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}
