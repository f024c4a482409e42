// A PKCS#11 module for tests: it forwards every call to a real module
// (TAVO_FAULT_TARGET, SoftHSM in the tests), answers chosen return codes, and
// keeps counters of calls in a file, since SoftHSM never locks a PIN, never
// cancels and has no way to show how a caller used it.
//
// Environment, read at every call:
//   TAVO_FAULT_TARGET            path of the real module
//   TAVO_FAULT_COUNTS            file rewritten with "name=value" lines after each call
//                                (pinRefusals: logins the real module refused for the PIN)
//   TAVO_FAULT_INITIALIZE_RV     answer of C_Initialize
//   TAVO_FAULT_OPEN_SESSION_RV   answer of C_OpenSession
//   TAVO_FAULT_LOGIN_RV          answer of C_Login
//   TAVO_FAULT_SIGN_LENGTH       signature length that the C_Sign length query announces
//   TAVO_FAULT_SIGN_LENGTH_RV    answer of the C_Sign length query
//   TAVO_FAULT_ATTRIBUTE_LENGTH  length that a C_GetAttributeValue length query
//                                announces for CKA_VALUE
//   TAVO_FAULT_REMOVALS          times the card was pulled: when it grows, every
//                                open session dies (its calls answer
//                                CKR_SESSION_HANDLE_INVALID for good) and the
//                                token is logged out, as with a real reader
//   TAVO_FAULT_TOKEN_ABSENT      non-empty while the card is out: no slot lists
//                                a token, and sessions and token information
//                                answer CKR_TOKEN_NOT_PRESENT
// CKR_USER_ALREADY_LOGGED_IN and CKR_CRYPTOKI_ALREADY_INITIALIZED are given
// after the real call succeeded, so the module still works as they claim.
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

namespace {

std::mutex gMutex;
CK_FUNCTION_LIST* gReal = nullptr;
CK_FUNCTION_LIST gList;
std::map<std::string, unsigned long> gCounts;
std::string gBatches;
std::map<CK_SESSION_HANDLE, CK_SLOT_ID> gOpen;  // live sessions opened through us
std::map<CK_SESSION_HANDLE, CK_SLOT_ID> gDead;  // sessions of a card that was pulled
unsigned long gRemovalsSeen = 0;
std::string gCountsFile;  // the file the counters above belong to

// A new counts file is a new user of the module (the next test of the
// process): its counters and its card's removals start from zero. Called
// with gMutex held.
void followCountsFileLocked() {
    const char* path = std::getenv("TAVO_FAULT_COUNTS");
    const std::string now = path == nullptr ? "" : path;
    if (now == gCountsFile) return;
    gCountsFile = now;
    gCounts.clear();
    gBatches.clear();
    gRemovalsSeen = 0;
}

bool envValue(const char* name, unsigned long& out) {
    const char* v = std::getenv(name);
    if (v == nullptr || *v == '\0') return false;
    out = std::strtoul(v, nullptr, 0);
    return true;
}

void save() {
    const char* path = std::getenv("TAVO_FAULT_COUNTS");
    if (path == nullptr || *path == '\0') return;
    FILE* f = std::fopen(path, "w");
    if (f == nullptr) return;
    for (const auto& [name, value] : gCounts) std::fprintf(f, "%s=%lu\n", name.c_str(), value);
    std::fprintf(f, "findObjects=%s\n", gBatches.c_str());
    std::fclose(f);
}

void count(const std::string& name) {
    std::lock_guard<std::mutex> lock(gMutex);
    followCountsFileLocked();
    ++gCounts[name];
    save();
}

bool tokenAbsent() {
    const char* v = std::getenv("TAVO_FAULT_TOKEN_ABSENT");
    return v != nullptr && *v != '\0';
}

// Notices a pull of the card since the last call. The dead sessions stay
// open in the real module until their owner closes them, so that their
// handles are never given to anyone else meanwhile.
void noticeRemoval() {
    unsigned long removals = 0;
    envValue("TAVO_FAULT_REMOVALS", removals);
    std::lock_guard<std::mutex> lock(gMutex);
    followCountsFileLocked();
    if (removals <= gRemovalsSeen) return;
    gRemovalsSeen = removals;
    if (!gOpen.empty()) gReal->C_Logout(gOpen.begin()->first);
    gDead.insert(gOpen.begin(), gOpen.end());
    gOpen.clear();
    ++gCounts["removalsNoticed"];
    save();
}

bool dead(CK_SESSION_HANDLE session) {
    noticeRemoval();
    std::lock_guard<std::mutex> lock(gMutex);
    return gDead.count(session) != 0;
}

CK_RV wrapInitialize(void* args) {
    count("C_Initialize");
    unsigned long injected = 0;
    if (envValue("TAVO_FAULT_INITIALIZE_RV", injected)) {
        if (injected != CKR_CRYPTOKI_ALREADY_INITIALIZED) return injected;
        CK_RV rv = gReal->C_Initialize(args);
        return rv == CKR_OK ? injected : rv;
    }
    return gReal->C_Initialize(args);
}

CK_RV wrapFinalize(void* reserved) {
    count("C_Finalize");
    {
        std::lock_guard<std::mutex> lock(gMutex);
        gOpen.clear();
        gDead.clear();
    }
    return gReal->C_Finalize(reserved);
}

CK_RV wrapOpenSession(CK_SLOT_ID slot, CK_FLAGS flags, void* app, CK_NOTIFY notify, CK_SESSION_HANDLE* session) {
    count("C_OpenSession");
    unsigned long injected = 0;
    if (envValue("TAVO_FAULT_OPEN_SESSION_RV", injected)) return injected;
    noticeRemoval();
    if (tokenAbsent()) return CKR_TOKEN_NOT_PRESENT;
    CK_RV rv = gReal->C_OpenSession(slot, flags, app, notify, session);
    if (rv == CKR_OK) {
        std::lock_guard<std::mutex> lock(gMutex);
        gOpen[*session] = slot;
    }
    if (rv == CKR_OK) count("sessionsOpened");
    return rv;
}

CK_RV wrapCloseSession(CK_SESSION_HANDLE session) {
    count("C_CloseSession");
    if (dead(session)) {
        gReal->C_CloseSession(session);
        std::lock_guard<std::mutex> lock(gMutex);
        gDead.erase(session);
        return CKR_SESSION_HANDLE_INVALID;
    }
    CK_RV rv = gReal->C_CloseSession(session);
    if (rv == CKR_OK) {
        std::lock_guard<std::mutex> lock(gMutex);
        gOpen.erase(session);
    }
    if (rv == CKR_OK) count("sessionsClosed");
    return rv;
}

CK_RV wrapCloseAllSessions(CK_SLOT_ID slot) {
    CK_RV rv = gReal->C_CloseAllSessions(slot);
    std::lock_guard<std::mutex> lock(gMutex);
    for (auto* sessions : {&gOpen, &gDead}) {
        for (auto it = sessions->begin(); it != sessions->end();) it = it->second == slot ? sessions->erase(it) : ++it;
    }
    return rv;
}

CK_RV wrapGetSlotList(CK_BBOOL present, CK_SLOT_ID* slots, CK_ULONG* count) {
    noticeRemoval();
    if (present == CK_TRUE && tokenAbsent() && count != nullptr) {
        *count = 0;
        return CKR_OK;
    }
    return gReal->C_GetSlotList(present, slots, count);
}

CK_RV wrapGetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO* info) {
    noticeRemoval();
    if (tokenAbsent()) return CKR_TOKEN_NOT_PRESENT;
    return gReal->C_GetTokenInfo(slot, info);
}

CK_RV wrapLogout(CK_SESSION_HANDLE session) {
    count("C_Logout");
    if (dead(session)) return CKR_SESSION_HANDLE_INVALID;
    return gReal->C_Logout(session);
}

// Calls that only need their session alive.
#define ALIVE_ONLY(name, params, args)                        \
    CK_RV wrap##name params {                                 \
        if (dead(session)) return CKR_SESSION_HANDLE_INVALID; \
        return gReal->C_##name args;                          \
    }
ALIVE_ONLY(GetSessionInfo, (CK_SESSION_HANDLE session, CK_SESSION_INFO* info), (session, info))
ALIVE_ONLY(FindObjectsInit, (CK_SESSION_HANDLE session, CK_ATTRIBUTE* tmpl, CK_ULONG n), (session, tmpl, n))
ALIVE_ONLY(FindObjectsFinal, (CK_SESSION_HANDLE session), (session))
ALIVE_ONLY(SignInit, (CK_SESSION_HANDLE session, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key),
           (session, mechanism, key))
ALIVE_ONLY(DecryptInit, (CK_SESSION_HANDLE session, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key),
           (session, mechanism, key))

CK_RV wrapGetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE* tmpl, CK_ULONG n) {
    if (dead(session)) return CKR_SESSION_HANDLE_INVALID;
    CK_RV rv = gReal->C_GetAttributeValue(session, object, tmpl, n);
    unsigned long announced = 0;
    if (rv == CKR_OK && envValue("TAVO_FAULT_ATTRIBUTE_LENGTH", announced)) {
        for (CK_ULONG i = 0; i < n; ++i)
            if (tmpl[i].type == CKA_VALUE && tmpl[i].pValue == nullptr) tmpl[i].ulValueLen = announced;
    }
    return rv;
}

CK_RV wrapLogin(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR* pin, CK_ULONG pinLen) {
    count("C_Login");
    if (dead(session)) return CKR_SESSION_HANDLE_INVALID;
    unsigned long injected = 0;
    if (envValue("TAVO_FAULT_LOGIN_RV", injected)) {
        if (injected != CKR_USER_ALREADY_LOGGED_IN) return injected;
        CK_RV rv = gReal->C_Login(session, user, pin, pinLen);
        return rv == CKR_OK ? injected : rv;
    }
    CK_RV rv = gReal->C_Login(session, user, pin, pinLen);
    if (rv == CKR_PIN_INCORRECT) count("pinRefusals");
    return rv;
}

CK_RV wrapFindObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE* objects, CK_ULONG max, CK_ULONG* got) {
    count("C_FindObjects");
    if (dead(session)) return CKR_SESSION_HANDLE_INVALID;
    CK_RV rv = gReal->C_FindObjects(session, objects, max, got);
    std::lock_guard<std::mutex> lock(gMutex);
    followCountsFileLocked();
    if (!gBatches.empty()) gBatches += ',';
    gBatches += std::to_string(max) + ":" + (rv == CKR_OK ? std::to_string(*got) : "rv" + std::to_string(rv));
    save();
    return rv;
}

CK_RV wrapSign(CK_SESSION_HANDLE session, CK_BYTE* data, CK_ULONG len, CK_BYTE* sig, CK_ULONG* sigLen) {
    count("C_Sign");
    if (dead(session)) return CKR_SESSION_HANDLE_INVALID;
    if (sig == nullptr) {
        unsigned long injected = 0;
        if (envValue("TAVO_FAULT_SIGN_LENGTH_RV", injected)) return injected;
        if (envValue("TAVO_FAULT_SIGN_LENGTH", injected)) {
            *sigLen = injected;
            return CKR_OK;
        }
    }
    return gReal->C_Sign(session, data, len, sig, sigLen);
}

bool loadReal() {
    if (gReal != nullptr) return true;
    const char* target = std::getenv("TAVO_FAULT_TARGET");
    if (target == nullptr) return false;
    void* handle = ::dlopen(target, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return false;
    auto get = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(handle, "C_GetFunctionList"));
    CK_FUNCTION_LIST* real = nullptr;
    if (get == nullptr || get(&real) != CKR_OK || real == nullptr) return false;
    gReal = real;
    gList = *real;
    gList.C_Initialize = wrapInitialize;
    gList.C_Finalize = wrapFinalize;
    gList.C_OpenSession = wrapOpenSession;
    gList.C_CloseSession = wrapCloseSession;
    gList.C_Login = wrapLogin;
    gList.C_FindObjects = wrapFindObjects;
    gList.C_Sign = wrapSign;
    gList.C_CloseAllSessions = wrapCloseAllSessions;
    gList.C_GetSlotList = wrapGetSlotList;
    gList.C_GetTokenInfo = wrapGetTokenInfo;
    gList.C_GetSessionInfo = wrapGetSessionInfo;
    gList.C_Logout = wrapLogout;
    gList.C_FindObjectsInit = wrapFindObjectsInit;
    gList.C_FindObjectsFinal = wrapFindObjectsFinal;
    gList.C_GetAttributeValue = wrapGetAttributeValue;
    gList.C_SignInit = wrapSignInit;
    gList.C_DecryptInit = wrapDecryptInit;
    return true;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST** list) {
    if (list == nullptr) return CKR_ARGUMENTS_BAD;
    if (!loadReal()) return CKR_GENERAL_ERROR;
    *list = &gList;
    return CKR_OK;
}
