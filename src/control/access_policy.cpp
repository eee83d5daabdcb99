#include "control/access_policy.h"

#include <sddl.h>

#include <cstring>

#include "runtime/handles.h"
#include "runtime/sys_error.h"
#include "runtime/text.h"

namespace velotarn {

namespace {

constexpr wchar_t kAllowedClients[] = L"AllowedClients";
constexpr wchar_t kAllowedPrograms[] = L"AllowedPrograms";
constexpr wchar_t kLogRequests[] = L"LogRequests";
constexpr wchar_t kExitEventWait[] = L"ExitEventWaitMs";

// One value as its type and raw bytes; no value when it is absent.
struct TRawValue {
  DWORD Type = REG_NONE;
  std::vector<BYTE> Data;
};

std::optional<TRawValue> QueryValue(HKEY Key, const wchar_t* Name) {
  for (;;) {
    DWORD type = REG_NONE;
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(Key, Name, nullptr, &type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) return std::nullopt;
    TRawValue value;
    value.Type = type;
    value.Data.resize(size);
    if (status == ERROR_SUCCESS)
      status = RegQueryValueExW(Key, Name, nullptr, &type, value.Data.data(), &size);
    if (status == ERROR_MORE_DATA) continue;  // it grew in between
    if (status != ERROR_SUCCESS) {
      value.Type = REG_NONE;  // present but unreadable: treated as unusable
      value.Data.clear();
      return value;
    }
    value.Data.resize(size);
    value.Type = type;
    return value;
  }
}

// The non-empty strings of a REG_MULTI_SZ, blanks around each removed; no value for another
// type.
std::optional<std::vector<std::wstring>> MultiStrings(const TRawValue& Value) {
  if (Value.Type != REG_MULTI_SZ) return std::nullopt;
  std::wstring all(reinterpret_cast<const wchar_t*>(Value.Data.data()),
                   Value.Data.size() / sizeof(wchar_t));
  std::vector<std::wstring> strings;
  size_t from = 0;
  while (from < all.size()) {
    size_t end = all.find(L'\0', from);
    if (end == std::wstring::npos) end = all.size();
    std::wstring item = all.substr(from, end - from);
    const size_t first = item.find_first_not_of(L" \t");
    if (first != std::wstring::npos)
      strings.push_back(item.substr(first, item.find_last_not_of(L" \t") - first + 1));
    from = end + 1;
  }
  return strings;
}

std::optional<TAllowedClient> ResolveClient(const std::wstring& Entry) {
  TAllowedClient client;
  client.Entry = Entry;
  if (Entry.size() > 2 && (Entry[0] == L'S' || Entry[0] == L's') && Entry[1] == L'-') {
    PSID sid = nullptr;
    if (!ConvertStringSidToSidW(Entry.c_str(), &sid)) return std::nullopt;
    unique_hlocal owner(sid);
    const DWORD length = GetLengthSid(sid);
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    client.Sid.assign(bytes, bytes + length);
  } else {
    DWORD sid_size = 0;
    DWORD domain_size = 0;
    SID_NAME_USE use;
    LookupAccountNameW(nullptr, Entry.c_str(), nullptr, &sid_size, nullptr, &domain_size, &use);
    if (sid_size == 0) return std::nullopt;
    client.Sid.resize(sid_size);
    std::wstring domain(domain_size, L'\0');
    if (!LookupAccountNameW(nullptr, Entry.c_str(), client.Sid.data(), &sid_size, domain.data(),
                            &domain_size, &use))
      return std::nullopt;
  }
  if (!IsValidSid(client.Sid.data())) return std::nullopt;
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(client.Sid.data(), &text)) return std::nullopt;
  unique_hlocal text_owner(text);
  client.SidText = text;
  return client;
}

void ReadAllowedClients(HKEY Key, TAccessPolicy& Policy) {
  std::optional<TRawValue> raw = QueryValue(Key, kAllowedClients);
  if (!raw) return;
  std::vector<TAllowedClient> clients;
  std::optional<std::vector<std::wstring>> entries = MultiStrings(*raw);
  if (!entries) {
    Policy.Problems.push_back(
        L"The setting AllowedClients is not a list of strings (REG_MULTI_SZ): only SYSTEM may "
        L"send requests");
  } else {
    for (const std::wstring& entry : *entries) {
      if (std::optional<TAllowedClient> client = ResolveClient(entry))
        clients.push_back(std::move(*client));
      else
        Policy.Problems.push_back(L"The AllowedClients entry \"" + entry +
                                  L"\" names no account or group: it is skipped");
    }
    if (clients.empty())
      Policy.Problems.push_back(
          L"The setting AllowedClients names no usable account or group: only SYSTEM may send "
          L"requests");
  }
  Policy.AllowedClients = std::move(clients);
}

void ReadAllowedPrograms(HKEY Key, TAccessPolicy& Policy) {
  std::optional<TRawValue> raw = QueryValue(Key, kAllowedPrograms);
  if (!raw) return;
  std::optional<std::vector<std::wstring>> programs = MultiStrings(*raw);
  if (!programs) {
    Policy.Problems.push_back(
        L"The setting AllowedPrograms is not a list of strings (REG_MULTI_SZ): every \"connect\" "
        L"is refused");
    programs.emplace();
  } else if (programs->empty()) {
    Policy.Problems.push_back(
        L"The setting AllowedPrograms lists no program: every \"connect\" is refused");
  }
  Policy.AllowedPrograms = std::move(programs);
}

void ReadLogRequests(HKEY Key, TAccessPolicy& Policy) {
  std::optional<TRawValue> raw = QueryValue(Key, kLogRequests);
  if (!raw) return;
  if (raw->Type != REG_DWORD || raw->Data.size() != sizeof(DWORD)) {
    Policy.Problems.push_back(
        L"The setting LogRequests is not a number (REG_DWORD): every request is logged");
    Policy.LogRequests = true;
    return;
  }
  DWORD value = 0;
  memcpy(&value, raw->Data.data(), sizeof(value));
  Policy.LogRequests = value != 0;
}

void ReadExitEventWait(HKEY Key, TAccessPolicy& Policy) {
  std::optional<TRawValue> raw = QueryValue(Key, kExitEventWait);
  if (!raw) return;
  if (raw->Type != REG_DWORD || raw->Data.size() != sizeof(DWORD)) {
    Policy.Problems.push_back(Format(
        L"The setting ExitEventWaitMs is not a number (REG_DWORD): runs are given %lu ms",
        kExitEventWaitMs));
    return;
  }
  memcpy(&Policy.ExitEventWaitMs, raw->Data.data(), sizeof(DWORD));
}

}  // namespace

TPolicyKey ServicePolicyKey() {
  return {HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\svVelotarn\\Parameters"};
}

std::optional<std::vector<std::wstring>> TAccessPolicy::ClientSidTexts() const {
  if (!AllowedClients) return std::nullopt;
  std::vector<std::wstring> texts;
  for (const TAllowedClient& client : *AllowedClients) texts.push_back(client.SidText);
  return texts;
}

TAccessPolicy ReadAccessPolicy(const TPolicyKey& Key) {
  TAccessPolicy policy;
  if (Key.Root == nullptr) return policy;
  HKEY raw = nullptr;
  // The 64-bit view: the service's key, whatever the bitness of a build.
  const LSTATUS status =
      RegOpenKeyExW(Key.Root, Key.Path.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &raw);
  if (status == ERROR_FILE_NOT_FOUND) return policy;  // no key, no settings
  if (status != ERROR_SUCCESS) {
    // Settings that may exist but cannot be read: nothing is allowed that they might forbid.
    policy.Problems.push_back(L"The settings in " + Key.Path + L" cannot be read (" +
                              SysErrorMessage(static_cast<DWORD>(status)) +
                              L"): only SYSTEM may send requests and every \"connect\" is "
                              L"refused");
    policy.AllowedClients.emplace();
    policy.AllowedPrograms.emplace();
    policy.LogRequests = true;
    return policy;
  }
  unique_hkey key(raw);
  ReadAllowedClients(key.get(), policy);
  ReadAllowedPrograms(key.get(), policy);
  ReadLogRequests(key.get(), policy);
  ReadExitEventWait(key.get(), policy);
  return policy;
}

}  // namespace velotarn
