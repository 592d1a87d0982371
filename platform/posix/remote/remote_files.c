// SPDX-License-Identifier: LGPL-2.1-or-later
/* The remote registry calls on a key's security, the wait for a change and
 * the hive-file calls (file names are the server's), and the module's
 * interface: each call under its key's connection (one call at a time on a
 * connection, as its event loop serves one thread; remote_connect.c).
 *
 * Terms: part of the remote module, which links Samba's GPL-3.0-or-later
 * libraries; the module as built is GPL-3.0-or-later. */
#include <string.h>

#include "platform/posix/remote/remote_call.h"

static int32_t GetSecurity(netid_remote_key* key, uint32_t information, uint8_t* descriptor,
                           uint32_t* size)
{
    TALLOC_CTX* mem = talloc_new(NULL);
    if (mem == NULL) return kNotEnoughMemory;
    const uint32_t capacity = descriptor != NULL ? *size : 0;
    struct wire_security_data sd = {NULL, capacity, 0};
    struct wire_get_key_security r = {.in = {&key->handle, information, &sd}, .out = {&sd, WERR_OK}};
    int32_t status = RemoteInvoke(key, WIRE_GET_KEY_SECURITY, &r, mem);
    if (status == kSuccess) {
        const uint32_t got = r.out.sd->len;
        *size = got;
        if (got > capacity || (got > 0 && r.out.sd->data == NULL)) {
            status = kInsufficientBuffer;  /* as the platform answers */
        } else if (got > 0) {
            memcpy(descriptor, r.out.sd->data, got);
        }
    } else if (status == kInsufficientBuffer) {
        *size = r.out.sd->size;
    }
    talloc_free(mem);
    return status;
}

static int32_t SetSecurity(netid_remote_key* key, uint32_t information, const uint8_t* descriptor,
                           uint32_t size)
{
    struct wire_security_data sd = {(uint8_t*)descriptor, size, size};
    struct wire_set_key_security r = {.in = {&key->handle, information, &sd}};
    return RemoteInvoke(key, WIRE_SET_KEY_SECURITY, &r, NULL);
}

static int32_t Notify(netid_remote_key* key, int subtree, uint32_t filter)
{
    struct wire_notify_change r = {.in = {&key->handle, subtree ? 1 : 0, filter}};
    return RemoteInvoke(key, WIRE_NOTIFY_CHANGE, &r, NULL);
}

/* ------------------------------------------------------------ hive files */

static int32_t SaveKey(netid_remote_key* key, const char* file)
{
    struct wire_string name = RemoteText(file);
    struct wire_save_key r = {.in = {&key->handle, &name, NULL}};
    return RemoteInvoke(key, WIRE_SAVE_KEY, &r, NULL);
}

static int32_t RestoreKey(netid_remote_key* key, const char* file, uint32_t flags)
{
    struct wire_string name = RemoteText(file);
    struct wire_restore_key r = {.in = {&key->handle, &name, flags}};
    return RemoteInvoke(key, WIRE_RESTORE_KEY, &r, NULL);
}

static int32_t LoadKey(netid_remote_key* key, const char* subkey, const char* file)
{
    struct wire_string name = RemoteText(subkey), path = RemoteText(file);
    struct wire_load_key r = {.in = {&key->handle, &name, &path}};
    return RemoteInvoke(key, WIRE_LOAD_KEY, &r, NULL);
}

static int32_t UnloadKey(netid_remote_key* key, const char* subkey)
{
    struct wire_string name = RemoteText(subkey);
    struct wire_unload_key r = {.in = {&key->handle, &name}};
    return RemoteInvoke(key, WIRE_UNLOAD_KEY, &r, NULL);
}

static int32_t ReplaceKey(netid_remote_key* key, const char* subkey, const char* new_file,
                          const char* old_file)
{
    struct wire_string name = RemoteText(subkey), fresh = RemoteText(new_file), old = RemoteText(old_file);
    struct wire_replace_key r = {.in = {&key->handle, &name, &fresh, &old}};
    return RemoteInvoke(key, WIRE_REPLACE_KEY, &r, NULL);
}

/* ------------------------------------------------------------ the interface */

#define ON_CONNECTION(key, call)                      \
    do {                                              \
        struct connection* on_conn = (key)->conn;     \
        RemoteEnter(on_conn);                         \
        int32_t on_status = (call);                   \
        RemoteLeave(on_conn);                         \
        return on_status;                             \
    } while (0)

static int32_t LOpenKey(netid_remote_key* k, const char* p, uint32_t o, uint32_t a, netid_remote_key** r)
{ ON_CONNECTION(k, RemoteOpenKey(k, p, o, a, r)); }
static int32_t LCreateKey(netid_remote_key* k, const char* p, const char* c, uint32_t o, uint32_t a,
                          const uint8_t* s, uint32_t n, netid_remote_key** r, uint32_t* d)
{ ON_CONNECTION(k, RemoteCreateKey(k, p, c, o, a, s, n, r, d)); }
static int32_t LQueryInfo(netid_remote_key* k, char* c, uint32_t n, struct netid_remote_info* i)
{ ON_CONNECTION(k, RemoteQueryInfo(k, c, n, i)); }
static int32_t LEnumKey(netid_remote_key* k, uint32_t i, char* n, uint32_t nc, char* c, uint32_t cc,
                        uint64_t* w)
{ ON_CONNECTION(k, RemoteEnumKey(k, i, n, nc, c, cc, w)); }
static int32_t LEnumValue(netid_remote_key* k, uint32_t i, char* n, uint32_t nc, uint32_t* t,
                          uint8_t* d, uint32_t* s)
{ ON_CONNECTION(k, RemoteEnumValue(k, i, n, nc, t, d, s)); }
static int32_t LQueryValue(netid_remote_key* k, const char* n, uint32_t* t, uint8_t* d, uint32_t* s)
{ ON_CONNECTION(k, RemoteQueryValue(k, n, t, d, s)); }
static int32_t LSetValue(netid_remote_key* k, const char* n, uint32_t t, const uint8_t* d, uint32_t s)
{ ON_CONNECTION(k, RemoteSetValue(k, n, t, d, s)); }
static int32_t LDeleteKey(netid_remote_key* k, const char* p) { ON_CONNECTION(k, RemoteDeleteKey(k, p)); }
static int32_t LDeleteValue(netid_remote_key* k, const char* n) { ON_CONNECTION(k, RemoteDeleteValue(k, n)); }
static int32_t LFlushKey(netid_remote_key* k) { ON_CONNECTION(k, RemoteFlushKey(k)); }
static int32_t LGetSecurity(netid_remote_key* k, uint32_t i, uint8_t* d, uint32_t* s)
{ ON_CONNECTION(k, GetSecurity(k, i, d, s)); }
static int32_t LSetSecurity(netid_remote_key* k, uint32_t i, const uint8_t* d, uint32_t s)
{ ON_CONNECTION(k, SetSecurity(k, i, d, s)); }
static int32_t LSaveKey(netid_remote_key* k, const char* f) { ON_CONNECTION(k, SaveKey(k, f)); }
static int32_t LRestoreKey(netid_remote_key* k, const char* f, uint32_t x)
{ ON_CONNECTION(k, RestoreKey(k, f, x)); }
static int32_t LLoadKey(netid_remote_key* k, const char* s, const char* f) { ON_CONNECTION(k, LoadKey(k, s, f)); }
static int32_t LUnloadKey(netid_remote_key* k, const char* s) { ON_CONNECTION(k, UnloadKey(k, s)); }
static int32_t LReplaceKey(netid_remote_key* k, const char* s, const char* n, const char* o)
{ ON_CONNECTION(k, ReplaceKey(k, s, n, o)); }

/* A wait for a change holds its connection for as long as the server
 * waits: a connection carries one call at a time. Other connections serve
 * on meanwhile. */
static int32_t LNotify(netid_remote_key* k, int s, uint32_t f) { ON_CONNECTION(k, Notify(k, s, f)); }

/* Closes the key on the server and frees it, whatever the answer; the
 * connection goes with its last key. */
static int32_t LCloseKey(netid_remote_key* k)
{
    struct connection* conn = k->conn;
    RemoteEnter(conn);
    int32_t status = RemoteCloseKey(k);
    const int last = RemoteForgetKey(k);
    RemoteLeave(conn);
    if (last) RemoteRelease(conn);
    return status;
}

static const struct netid_remote_interface g_interface = {
    NETID_REMOTE_VERSION, RemoteConnect, LOpenKey, LCreateKey, LCloseKey, LQueryInfo, LEnumKey,
    LEnumValue, LQueryValue, LSetValue, LDeleteKey, LDeleteValue, LFlushKey, LGetSecurity,
    LSetSecurity, LNotify, LSaveKey, LRestoreKey, LLoadKey, LUnloadKey, LReplaceKey,
};

__attribute__((visibility("default"))) const struct netid_remote_interface* netid_remote_interface(void)
{
    return &g_interface;
}
