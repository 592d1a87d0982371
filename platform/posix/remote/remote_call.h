// SPDX-License-Identifier: LGPL-2.1-or-later
/* The remote module's shared parts: a connection and its keys and their
 * locks (remote_connect.c), one call of the protocol and the statuses
 * (remote_client.c); the calls of each file are named here for the
 * interface table (remote_files.c). Plain C.
 *
 * Terms: part of the remote module, which links Samba's GPL-3.0-or-later
 * libraries; the module as built is GPL-3.0-or-later. */
#ifndef NETID_PLATFORM_POSIX_REMOTE_REMOTE_CALL_H
#define NETID_PLATFORM_POSIX_REMOTE_REMOTE_CALL_H

#include <pthread.h>

#include <talloc.h>
#include <tevent.h>

#include <core/error.h>
#include <dcerpc.h>

#include "platform/posix/remote/remote.h"
#include "platform/posix/remote/winreg_wire.h"

enum {
    kSuccess = 0,
    kInvalidHandle = 6,
    kAccessDenied = 5,
    kNotEnoughMemory = 8,
    kInvalidParameter = 87,
    kInsufficientBuffer = 122,
    kBadNetPath = 53,
    kMoreData = 234,
    kLogonFailure = 1326,
    kCallFailed = 1726,
    /* A key name has at most 255 characters, a value name 16383; the wire
     * counts string room in bytes of UTF-16 in 16 bits. */
    kKeyNameRoom = 2 * 256,
    kValueNameRoom = 2 * 16384,
    kClassRoom = 2 * 16384,
    /* A server's data is taken up to this size (the marshaller's bound). */
    kMaxData = 0x4000000,
    /* Times a value that grows between the probe of its size and the read
     * is read again. */
    kReadAttempts = 4
};

/* One machine's connection: its own event loop and pipe, used by one
 * thread at a time (`lock`); connections do not wait for each other. */
struct connection {
    struct tevent_context* ev;
    struct dcerpc_pipe* pipe;
    pthread_mutex_t lock;
    unsigned keys; /* open keys; the connection closes with its last */
};

struct netid_remote_key {
    struct connection* conn;
    struct policy_handle handle;
};

/* remote_connect.c: connecting, and the order of the locks. A call on a
 * key runs between RemoteEnter and RemoteLeave of its connection; the last
 * key's close frees the connection after RemoteLeave (RemoteRelease). */
int32_t RemoteConnect(const char* host, unsigned port, uint32_t root, uint32_t access,
                      const struct netid_remote_credentials* who, netid_remote_key** out);
void RemoteEnter(struct connection* conn);
void RemoteLeave(struct connection* conn);
/* A key of `conn` for a handle the server gave; null when out of memory. */
netid_remote_key* RemoteNewKey(struct connection* conn, const struct policy_handle* handle);
/* Forgets a key (its connection's lock held); true when it was the last. */
int RemoteForgetKey(netid_remote_key* key);
void RemoteRelease(struct connection* conn);

/* remote_client.c: one call of the protocol on `key`'s connection, its
 * status the transport's failure or the server's answer. `r` is the call's
 * structure (winreg_wire.h), zeroed but for what goes in; what the answer
 * allocates lives in `mem`, or without one only during the call (a call
 * that answers a status alone). */
int32_t RemoteInvoke(netid_remote_key* key, uint32_t opnum, void* r, TALLOC_CTX* mem);
/* The status of a call: the transport's failure, or the server's answer. */
int32_t RemoteStatus(NTSTATUS status, WERROR result);
/* A counted string of `text` (null: the empty string). */
struct wire_string RemoteText(const char* text);

int32_t RemoteOpenRoot(struct connection* conn, uint32_t root, uint32_t access, netid_remote_key** out);
int32_t RemoteOpenKey(netid_remote_key* base, const char* path, uint32_t options, uint32_t access,
                      netid_remote_key** out);
int32_t RemoteCreateKey(netid_remote_key* base, const char* path, const char* key_class,
                        uint32_t options, uint32_t access, const uint8_t* security,
                        uint32_t security_size, netid_remote_key** out, uint32_t* disposition);
int32_t RemoteCloseKey(netid_remote_key* key);
int32_t RemoteQueryInfo(netid_remote_key* key, char* key_class, uint32_t class_capacity,
                        struct netid_remote_info* info);
int32_t RemoteEnumKey(netid_remote_key* key, uint32_t index, char* name, uint32_t name_capacity,
                      char* key_class, uint32_t class_capacity, uint64_t* last_write);
int32_t RemoteEnumValue(netid_remote_key* key, uint32_t index, char* name, uint32_t name_capacity,
                        uint32_t* type, uint8_t* data, uint32_t* size);
int32_t RemoteQueryValue(netid_remote_key* key, const char* name, uint32_t* type, uint8_t* data,
                         uint32_t* size);
int32_t RemoteSetValue(netid_remote_key* key, const char* name, uint32_t type, const uint8_t* data,
                       uint32_t size);
int32_t RemoteDeleteKey(netid_remote_key* key, const char* path);
int32_t RemoteDeleteValue(netid_remote_key* key, const char* name);
int32_t RemoteFlushKey(netid_remote_key* key);

#endif
