// SPDX-License-Identifier: LGPL-2.1-or-later
/* The remote registry calls on a key's security, the wait for a change and
 * the hive-file calls (file names are the server's), and the module's
 * interface: every call under one lock, as the transport's event loop is
 * not shared between threads.
 *
 * Terms: part of the remote module, which links Samba's GPL-3.0-or-later
 * libraries; the module as built is GPL-3.0-or-later. */
#include <pthread.h>
#include <string.h>

#include "platform/posix/remote/remote_call.h"

static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;

static int32_t GetSecurity(netid_remote_key* key, uint32_t information, uint8_t* descriptor,
                           uint32_t* size)
{
    TALLOC_CTX* mem = talloc_new(NULL);
    if (mem == NULL) return kNotEnoughMemory;
    const uint32_t capacity = descriptor != NULL ? *size : 0;
    struct wire_security_data sd = {NULL, capacity, 0};
    struct wire_get_key_security r;
    memset(&r, 0, sizeof r);
    r.in.handle = &key->handle;
    r.in.sec_info = information;
    r.in.sd = &sd;
    r.out.sd = &sd;
    int32_t status = RemoteStatus(RemoteCall(key, WIRE_GET_KEY_SECURITY, mem, &r), r.out.result);
    if (status == kSuccess) {
        const uint32_t got = r.out.sd->len;
        *size = got;
        if (got > capacity || (got > 0 && r.out.sd->data == NULL)) {
            status = 122;  /* ERROR_INSUFFICIENT_BUFFER, as the platform answers */
        } else if (got > 0) {
            memcpy(descriptor, r.out.sd->data, got);
        }
    } else if (status == 122) {
        *size = r.out.sd->size;
    }
    talloc_free(mem);
    return status;
}

static int32_t SetSecurity(netid_remote_key* key, uint32_t information, const uint8_t* descriptor,
                           uint32_t size)
{
    TALLOC_CTX* mem = talloc_new(NULL);
    if (mem == NULL) return kNotEnoughMemory;
    struct wire_security_data sd = {(uint8_t*)descriptor, size, size};
    struct wire_set_key_security r;
    memset(&r, 0, sizeof r);
    r.in.handle = &key->handle;
    r.in.sec_info = information;
    r.in.sd = &sd;
    int32_t status = RemoteStatus(RemoteCall(key, WIRE_SET_KEY_SECURITY, mem, &r), r.out.result);
    talloc_free(mem);
    return status;
}

static int32_t Notify(netid_remote_key* key, int subtree, uint32_t filter)
{
    TALLOC_CTX* mem = talloc_new(NULL);
    if (mem == NULL) return kNotEnoughMemory;
    struct wire_notify_change r;
    memset(&r, 0, sizeof r);
    r.in.handle = &key->handle;
    r.in.watch_subtree = subtree ? 1 : 0;
    r.in.notify_filter = filter;
    r.in.string1.text = NULL;
    r.in.string2.text = NULL;
    int32_t status = RemoteStatus(RemoteCall(key, WIRE_NOTIFY_CHANGE, mem, &r), r.out.result);
    talloc_free(mem);
    return status;
}

/* ------------------------------------------------------------ hive files */

static int32_t SaveKey(netid_remote_key* key, const char* file)
{
    TALLOC_CTX* mem = talloc_new(NULL);
    if (mem == NULL) return kNotEnoughMemory;
    struct wire_string name = RemoteText(file);
    struct wire_save_key r;
    memset(&r, 0, sizeof r);
    r.in.handle = &key->handle;
    r.in.filename = &name;
    int32_t status = RemoteStatus(RemoteCall(key, WIRE_SAVE_KEY, mem, &r), r.out.result);
    talloc_free(mem);
    return status;
}

static int32_t RestoreKey(netid_remote_key* key, const char* file, uint32_t flags)
{
    TALLOC_CTX* mem = talloc_new(NULL);
    if (mem == NULL) return kNotEnoughMemory;
    struct wire_string name = RemoteText(file);
    struct wire_restore_key r;
    memset(&r, 0, sizeof r);
    r.in.handle = &key->handle;
    r.in.filename = &name;
    r.in.flags = flags;
    int32_t status = RemoteStatus(RemoteCall(key, WIRE_RESTORE_KEY, mem, &r), r.out.result);
    talloc_free(mem);
    return status;
}

static int32_t LoadKey(netid_remote_key* key, const char* subkey, const char* file)
{
    TALLOC_CTX* mem = talloc_new(NULL);
    if (mem == NULL) return kNotEnoughMemory;
    struct wire_string name = RemoteText(subkey), path = RemoteText(file);
    struct wire_load_key r;
    memset(&r, 0, sizeof r);
    r.in.handle = &key->handle;
    r.in.keyname = &name;
    r.in.filename = &path;
    int32_t status = RemoteStatus(RemoteCall(key, WIRE_LOAD_KEY, mem, &r), r.out.result);
    talloc_free(mem);
    return status;
}

static int32_t UnloadKey(netid_remote_key* key, const char* subkey)
{
    TALLOC_CTX* mem = talloc_new(NULL);
    if (mem == NULL) return kNotEnoughMemory;
    struct wire_string name = RemoteText(subkey);
    struct wire_unload_key r;
    memset(&r, 0, sizeof r);
    r.in.handle = &key->handle;
    r.in.subkey = &name;
    int32_t status = RemoteStatus(RemoteCall(key, WIRE_UNLOAD_KEY, mem, &r), r.out.result);
    talloc_free(mem);
    return status;
}

static int32_t ReplaceKey(netid_remote_key* key, const char* subkey, const char* new_file,
                          const char* old_file)
{
    TALLOC_CTX* mem = talloc_new(NULL);
    if (mem == NULL) return kNotEnoughMemory;
    struct wire_string name = RemoteText(subkey), fresh = RemoteText(new_file), old = RemoteText(old_file);
    struct wire_replace_key r;
    memset(&r, 0, sizeof r);
    r.in.handle = &key->handle;
    r.in.subkey = &name;
    r.in.new_file = &fresh;
    r.in.old_file = &old;
    int32_t status = RemoteStatus(RemoteCall(key, WIRE_REPLACE_KEY, mem, &r), r.out.result);
    talloc_free(mem);
    return status;
}

/* ------------------------------------------------------------ the interface, serialised */

#define LOCKED(call)                          \
    do {                                      \
        pthread_mutex_lock(&g_lock);          \
        int32_t locked_status = (call);       \
        pthread_mutex_unlock(&g_lock);        \
        return locked_status;                 \
    } while (0)

static int32_t LConnect(const char* h, unsigned p, uint32_t root, uint32_t a,
                        const struct netid_remote_credentials* c, netid_remote_key** o)
{ LOCKED(RemoteConnect(h, p, root, a, c, o)); }
static int32_t LOpenKey(netid_remote_key* k, const char* p, uint32_t o, uint32_t a, netid_remote_key** r)
{ LOCKED(RemoteOpenKey(k, p, o, a, r)); }
static int32_t LCreateKey(netid_remote_key* k, const char* p, const char* c, uint32_t o, uint32_t a,
                          const uint8_t* s, uint32_t n, netid_remote_key** r, uint32_t* d)
{ LOCKED(RemoteCreateKey(k, p, c, o, a, s, n, r, d)); }
static int32_t LCloseKey(netid_remote_key* k) { LOCKED(RemoteCloseKey(k)); }
static int32_t LQueryInfo(netid_remote_key* k, char* c, uint32_t n, struct netid_remote_info* i)
{ LOCKED(RemoteQueryInfo(k, c, n, i)); }
static int32_t LEnumKey(netid_remote_key* k, uint32_t i, char* n, uint32_t nc, char* c, uint32_t cc,
                        uint64_t* w)
{ LOCKED(RemoteEnumKey(k, i, n, nc, c, cc, w)); }
static int32_t LEnumValue(netid_remote_key* k, uint32_t i, char* n, uint32_t nc, uint32_t* t,
                          uint8_t* d, uint32_t* s)
{ LOCKED(RemoteEnumValue(k, i, n, nc, t, d, s)); }
static int32_t LQueryValue(netid_remote_key* k, const char* n, uint32_t* t, uint8_t* d, uint32_t* s)
{ LOCKED(RemoteQueryValue(k, n, t, d, s)); }
static int32_t LSetValue(netid_remote_key* k, const char* n, uint32_t t, const uint8_t* d, uint32_t s)
{ LOCKED(RemoteSetValue(k, n, t, d, s)); }
static int32_t LDeleteKey(netid_remote_key* k, const char* p) { LOCKED(RemoteDeleteKey(k, p)); }
static int32_t LDeleteValue(netid_remote_key* k, const char* n) { LOCKED(RemoteDeleteValue(k, n)); }
static int32_t LFlushKey(netid_remote_key* k) { LOCKED(RemoteFlushKey(k)); }
static int32_t LGetSecurity(netid_remote_key* k, uint32_t i, uint8_t* d, uint32_t* s)
{ LOCKED(GetSecurity(k, i, d, s)); }
static int32_t LSetSecurity(netid_remote_key* k, uint32_t i, const uint8_t* d, uint32_t s)
{ LOCKED(SetSecurity(k, i, d, s)); }
static int32_t LSaveKey(netid_remote_key* k, const char* f) { LOCKED(SaveKey(k, f)); }
static int32_t LRestoreKey(netid_remote_key* k, const char* f, uint32_t x) { LOCKED(RestoreKey(k, f, x)); }
static int32_t LLoadKey(netid_remote_key* k, const char* s, const char* f) { LOCKED(LoadKey(k, s, f)); }
static int32_t LUnloadKey(netid_remote_key* k, const char* s) { LOCKED(UnloadKey(k, s)); }
static int32_t LReplaceKey(netid_remote_key* k, const char* s, const char* n, const char* o)
{ LOCKED(ReplaceKey(k, s, n, o)); }

/* A wait for a change holds the lock for as long as the server waits: the
 * connection carries one call at a time. */
static int32_t LNotify(netid_remote_key* k, int s, uint32_t f) { LOCKED(Notify(k, s, f)); }

static const struct netid_remote_interface g_interface = {
    NETID_REMOTE_VERSION, LConnect, LOpenKey, LCreateKey, LCloseKey, LQueryInfo, LEnumKey,
    LEnumValue, LQueryValue, LSetValue, LDeleteKey, LDeleteValue, LFlushKey, LGetSecurity,
    LSetSecurity, LNotify, LSaveKey, LRestoreKey, LLoadKey, LUnloadKey, LReplaceKey,
};

__attribute__((visibility("default"))) const struct netid_remote_interface* netid_remote_interface(void)
{
    return &g_interface;
}
