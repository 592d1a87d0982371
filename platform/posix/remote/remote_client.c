// SPDX-License-Identifier: LGPL-2.1-or-later
/* Another machine's registry over the remote registry protocol: one call
 * through Samba's public DCE/RPC transport with the call structures of
 * winreg_wire.h, and the calls on keys and on values. The callers hold the
 * key's connection (RemoteEnter, remote_connect.c).
 *
 * Terms: this file is part of the remote module, which links Samba's
 * GPL-3.0-or-later libraries; the module as built is GPL-3.0-or-later. */
#include <stddef.h>
#include <string.h>

#include <rpc_common.h>

#include "platform/posix/remote/remote_call.h"

/* ------------------------------------------------------------ one call */

#define RESULT_OF(type) offsetof(struct type, out.result)

/* Where each call's structure holds the server's status, by opnum. */
static const size_t kResultAt[] = {
    [WIRE_OPEN_HKLM] = RESULT_OF(wire_open_root),
    [WIRE_OPEN_HKPD] = RESULT_OF(wire_open_root),
    [WIRE_OPEN_HKU] = RESULT_OF(wire_open_root),
    [WIRE_CLOSE_KEY] = RESULT_OF(wire_close_key),
    [WIRE_CREATE_KEY] = RESULT_OF(wire_create_key),
    [WIRE_DELETE_KEY] = RESULT_OF(wire_delete),
    [WIRE_DELETE_VALUE] = RESULT_OF(wire_delete),
    [WIRE_ENUM_KEY] = RESULT_OF(wire_enum_key),
    [WIRE_ENUM_VALUE] = RESULT_OF(wire_enum_value),
    [WIRE_FLUSH_KEY] = RESULT_OF(wire_handle_only),
    [WIRE_GET_KEY_SECURITY] = RESULT_OF(wire_get_key_security),
    [WIRE_LOAD_KEY] = RESULT_OF(wire_load_key),
    [WIRE_NOTIFY_CHANGE] = RESULT_OF(wire_notify_change),
    [WIRE_OPEN_KEY] = RESULT_OF(wire_open_key),
    [WIRE_QUERY_INFO_KEY] = RESULT_OF(wire_query_info_key),
    [WIRE_QUERY_VALUE] = RESULT_OF(wire_query_value),
    [WIRE_REPLACE_KEY] = RESULT_OF(wire_replace_key),
    [WIRE_RESTORE_KEY] = RESULT_OF(wire_restore_key),
    [WIRE_SAVE_KEY] = RESULT_OF(wire_save_key),
    [WIRE_SET_KEY_SECURITY] = RESULT_OF(wire_set_key_security),
    [WIRE_SET_VALUE] = RESULT_OF(wire_set_value),
    [WIRE_UNLOAD_KEY] = RESULT_OF(wire_unload_key),
};

int32_t RemoteStatus(NTSTATUS status, WERROR result)
{
    if (NT_STATUS_IS_OK(status)) return (int32_t)W_ERROR_V(result);
    if (NT_STATUS_EQUAL(status, NT_STATUS_ACCESS_DENIED)) return kAccessDenied;
    if (NT_STATUS_EQUAL(status, NT_STATUS_NO_MEMORY)) return kNotEnoughMemory;
    WERROR mapped = ntstatus_to_werror(status);
    return W_ERROR_V(mapped) != 0 ? (int32_t)W_ERROR_V(mapped) : kCallFailed;
}

/* The call driven on the connection's own event loop, its allocations in
 * `mem` (the library's synchronous form would use a stack of allocations
 * shared by the thread). */
static NTSTATUS Call(struct connection* conn, uint32_t opnum, TALLOC_CTX* mem, void* r)
{
    struct tevent_req* request = dcerpc_binding_handle_call_send(mem, conn->ev, conn->pipe->binding_handle,
                                                                 NULL, &ndr_table_winreg, opnum, mem, r);
    if (request == NULL) return NT_STATUS_NO_MEMORY;
    /* The loop fails only when nothing is left to wait for. */
    const NTSTATUS status = tevent_req_poll(request, conn->ev) ? dcerpc_binding_handle_call_recv(request)
                                                                 : NT_STATUS_INTERNAL_ERROR;
    talloc_free(request);
    return status;
}

int32_t RemoteInvoke(netid_remote_key* key, uint32_t opnum, void* r, TALLOC_CTX* mem)
{
    if (opnum >= sizeof kResultAt / sizeof kResultAt[0] || kResultAt[opnum] == 0) return kInvalidParameter;
    TALLOC_CTX* own = mem == NULL ? talloc_new(NULL) : NULL;
    if (mem == NULL && own == NULL) return kNotEnoughMemory;
    const NTSTATUS sent = Call(key->conn, opnum, mem != NULL ? mem : own, r);
    const int32_t status = RemoteStatus(sent, *(const WERROR*)((const char*)r + kResultAt[opnum]));
    talloc_free(own);
    return status;
}

struct wire_string RemoteText(const char* text)
{
    struct wire_string s = {0, 0, text != NULL ? text : ""};
    return s;
}

/* Copies a server's UTF-8 text into a caller's buffer; 234 when it does not
 * fit. */
static int32_t Deliver(const char* text, char* out, uint32_t capacity)
{
    size_t n = text != NULL ? strlen(text) : 0;
    if (out == NULL) return kSuccess;
    if (n >= capacity) return kMoreData;
    memcpy(out, text != NULL ? text : "", n);
    out[n] = '\0';
    return kSuccess;
}

/* A key for the handle a call answered, when it succeeded. */
static int32_t Opened(int32_t status, struct connection* conn, const struct policy_handle* handle,
                      netid_remote_key** out)
{
    if (status != kSuccess) return status;
    *out = RemoteNewKey(conn, handle);
    return *out != NULL ? kSuccess : kNotEnoughMemory;
}

/* ------------------------------------------------------------ keys */

int32_t RemoteOpenRoot(struct connection* conn, uint32_t root, uint32_t access, netid_remote_key** out)
{
    struct policy_handle handle;
    struct wire_open_root r = {.in = {NULL, access}, .out = {&handle, WERR_OK}};
    netid_remote_key probe = {conn, {0}};
    const uint32_t opnum = root == NETID_REMOTE_HKLM ? WIRE_OPEN_HKLM
                           : root == NETID_REMOTE_HKU ? WIRE_OPEN_HKU : WIRE_OPEN_HKPD;
    return Opened(RemoteInvoke(&probe, opnum, &r, NULL), conn, &handle, out);
}

int32_t RemoteOpenKey(netid_remote_key* base, const char* path, uint32_t options, uint32_t access,
                      netid_remote_key** out)
{
    *out = NULL;
    struct policy_handle handle;
    struct wire_open_key r = {.in = {&base->handle, RemoteText(path), options, access}, .out = {&handle, WERR_OK}};
    return Opened(RemoteInvoke(base, WIRE_OPEN_KEY, &r, NULL), base->conn, &handle, out);
}

int32_t RemoteCreateKey(netid_remote_key* base, const char* path, const char* key_class,
                        uint32_t options, uint32_t access, const uint8_t* security,
                        uint32_t security_size, netid_remote_key** out, uint32_t* disposition)
{
    *out = NULL;
    struct policy_handle handle;
    uint32_t action = 0;
    struct wire_security_buf secbuf = {security_size, {(uint8_t*)security, security_size, security_size}, 0};
    struct wire_create_key r = {
        .in = {&base->handle, RemoteText(path), RemoteText(key_class), options, access,
               security != NULL ? &secbuf : NULL, &action},
        .out = {&handle, &action, WERR_OK},
    };
    /* The disposition comes back in memory of the answer's own. */
    TALLOC_CTX* mem = talloc_new(NULL);
    if (mem == NULL) return kNotEnoughMemory;
    int32_t status = RemoteInvoke(base, WIRE_CREATE_KEY, &r, mem);
    if (status == kSuccess && disposition != NULL && r.out.action_taken != NULL) {
        *disposition = *r.out.action_taken;
    }
    talloc_free(mem);
    return Opened(status, base->conn, &handle, out);
}

/* Closes the key on the server and forgets it, whatever the answer. */
int32_t RemoteCloseKey(netid_remote_key* key)
{
    struct policy_handle handle = key->handle;
    struct wire_close_key r = {.in = {&handle}, .out = {&handle, WERR_OK}};
    return RemoteInvoke(key, WIRE_CLOSE_KEY, &r, NULL);
}

int32_t RemoteQueryInfo(netid_remote_key* key, char* key_class, uint32_t class_capacity,
                        struct netid_remote_info* info)
{
    TALLOC_CTX* mem = talloc_new(NULL);
    if (mem == NULL) return kNotEnoughMemory;
    struct wire_string classname = RemoteText("");
    uint32_t counts[7] = {0};
    NTTIME when = 0;
    struct wire_query_info_key r = {
        .in = {&key->handle, &classname},
        .out = {&counts[0], &counts[1], &counts[2], &counts[3], &counts[4], &counts[5], &counts[6], &when,
                &classname, WERR_OK},
    };
    int32_t status = RemoteInvoke(key, WIRE_QUERY_INFO_KEY, &r, mem);
    if (status == kSuccess) {
        info->subkeys = counts[0];
        info->max_subkey_len = counts[1];
        info->max_class_len = counts[2];
        info->values = counts[3];
        info->max_value_name_len = counts[4];
        info->max_value_len = counts[5];
        info->security_size = counts[6];
        info->last_write = when;
        status = Deliver(r.out.classname->text, key_class, class_capacity);
    }
    talloc_free(mem);
    return status;
}

int32_t RemoteEnumKey(netid_remote_key* key, uint32_t index, char* name, uint32_t name_capacity,
                      char* key_class, uint32_t class_capacity, uint64_t* last_write)
{
    TALLOC_CTX* mem = talloc_new(NULL);
    if (mem == NULL) return kNotEnoughMemory;
    struct wire_string_buf name_buf = {0, kKeyNameRoom, ""};
    struct wire_string_buf class_buf = {0, kClassRoom, ""};
    NTTIME when = 0;
    struct wire_enum_key r = {
        .in = {&key->handle, index, &name_buf, &class_buf, &when},
        .out = {&name_buf, &class_buf, &when, WERR_OK},
    };
    int32_t status = RemoteInvoke(key, WIRE_ENUM_KEY, &r, mem);
    if (status == kSuccess) {
        status = Deliver(r.out.name->text, name, name_capacity);
        if (status == kSuccess && r.out.keyclass != NULL) {
            status = Deliver(r.out.keyclass->text, key_class, class_capacity);
        }
        if (last_write != NULL && r.out.last_changed_time != NULL) *last_write = *r.out.last_changed_time;
    }
    talloc_free(mem);
    return status;
}

/* ------------------------------------------------------------ values */

/* One read of a value's data (by name or by index): with `buffer` null its
 * size alone, else the data into `buffer` of `*size` bytes. */
typedef int32_t (*ReadData)(netid_remote_key* key, const void* which, TALLOC_CTX* mem,
                            uint8_t* buffer, uint32_t* size, uint32_t* type, char* name,
                            uint32_t name_capacity);

/* What the server answered of a value: its type, and its size, or with a
 * buffer its data, never more than was asked for. */
static int32_t TakeData(int32_t status, const enum winreg_Type* found, const uint8_t* data,
                        const uint32_t* room, const uint32_t* length, uint8_t* buffer, uint32_t* size,
                        uint32_t* type)
{
    if (status != kSuccess && status != kMoreData) return status;
    if (found != NULL) *type = (uint32_t)*found;
    uint32_t got = room != NULL ? *room : 0;
    if (status == kSuccess && buffer != NULL) {
        got = length != NULL ? *length : 0;
        if (got > *size || data == NULL) return kCallFailed;  /* more than asked for */
        memcpy(buffer, data, got);
    }
    if (got > kMaxData) return kCallFailed;
    *size = got;
    return status;
}

static int32_t ReadByName(netid_remote_key* key, const void* which, TALLOC_CTX* mem, uint8_t* buffer,
                          uint32_t* size, uint32_t* type, char* name, uint32_t name_capacity)
{
    (void)name;
    (void)name_capacity;
    struct wire_string value_name = RemoteText((const char*)which);
    enum winreg_Type t = REG_NONE;
    uint32_t room = buffer != NULL ? *size : 0, length = 0;
    uint8_t* data = buffer != NULL ? talloc_zero_size(mem, room) : NULL;
    if (buffer != NULL && data == NULL) return kNotEnoughMemory;
    struct wire_query_value r = {
        .in = {&key->handle, &value_name, &t, data, &room, &length},
        .out = {&t, data, &room, &length, WERR_OK},
    };
    int32_t status = RemoteInvoke(key, WIRE_QUERY_VALUE, &r, mem);
    return TakeData(status, r.out.type, r.out.data, r.out.data_size, r.out.data_length, buffer, size, type);
}

static int32_t ReadByIndex(netid_remote_key* key, const void* which, TALLOC_CTX* mem, uint8_t* buffer,
                           uint32_t* size, uint32_t* type, char* name, uint32_t name_capacity)
{
    struct wire_string_buf name_buf = {0, kValueNameRoom, ""};
    enum winreg_Type t = REG_NONE;
    uint32_t room = buffer != NULL ? *size : 0, length = 0;
    uint8_t* data = buffer != NULL ? talloc_zero_size(mem, room) : NULL;
    if (buffer != NULL && data == NULL) return kNotEnoughMemory;
    struct wire_enum_value r = {
        .in = {&key->handle, *(const uint32_t*)which, &name_buf, &t, data, &room, &length},
        .out = {&name_buf, &t, data, &room, &length, WERR_OK},
    };
    int32_t status = RemoteInvoke(key, WIRE_ENUM_VALUE, &r, mem);
    status = TakeData(status, r.out.type, r.out.value, r.out.size, r.out.length, buffer, size, type);
    if (status == kSuccess) {
        int32_t named = Deliver(r.out.name->text, name, name_capacity);
        if (named != kSuccess) return named;
    }
    return status;
}

/* Reads a value's data: the size first, then the data into a buffer of
 * that size, again when it grew meanwhile. */
static int32_t ReadValue(netid_remote_key* key, const void* which, ReadData read, char* name,
                         uint32_t name_capacity, uint32_t* type, uint8_t* data, uint32_t* size)
{
    const uint32_t capacity = size != NULL ? *size : 0;
    int32_t status = kMoreData;
    for (int attempt = 0; attempt < kReadAttempts && status == kMoreData; ++attempt) {
        TALLOC_CTX* mem = talloc_new(NULL);
        if (mem == NULL) return kNotEnoughMemory;
        uint32_t needed = 0, found = 0;
        status = read(key, which, mem, NULL, &needed, &found, name, name_capacity);
        if (status == kMoreData) status = kSuccess;  /* a size probe may say so */
        if (status == kSuccess) {
            if (type != NULL) *type = found;
            if (size != NULL) *size = needed;
            if (data != NULL && needed > capacity) {
                talloc_free(mem);
                return kMoreData;
            }
            if (data != NULL && needed > 0) {
                uint32_t got = needed;
                status = read(key, which, mem, data, &got, &found, name, name_capacity);
                if (status == kSuccess) {
                    if (type != NULL) *type = found;
                    if (size != NULL) *size = got;
                } else if (status == kMoreData && got > capacity) {
                    if (size != NULL) *size = got;
                    talloc_free(mem);
                    return status;
                }  /* else it grew meanwhile but still fits: read again */
            }
        }
        talloc_free(mem);
    }
    return status;
}

int32_t RemoteQueryValue(netid_remote_key* key, const char* name, uint32_t* type, uint8_t* data,
                         uint32_t* size)
{
    return ReadValue(key, name, ReadByName, NULL, 0, type, data, size);
}

int32_t RemoteEnumValue(netid_remote_key* key, uint32_t index, char* name, uint32_t name_capacity,
                        uint32_t* type, uint8_t* data, uint32_t* size)
{
    return ReadValue(key, &index, ReadByIndex, name, name_capacity, type, data, size);
}

int32_t RemoteSetValue(netid_remote_key* key, const char* name, uint32_t type, const uint8_t* data,
                       uint32_t size)
{
    static uint8_t none;
    struct wire_set_value r = {
        .in = {&key->handle, RemoteText(name), (enum winreg_Type)type, data != NULL ? (uint8_t*)data : &none, size},
    };
    return RemoteInvoke(key, WIRE_SET_VALUE, &r, NULL);
}

int32_t RemoteDeleteKey(netid_remote_key* key, const char* path)
{
    struct wire_delete r = {.in = {&key->handle, RemoteText(path)}};
    return RemoteInvoke(key, WIRE_DELETE_KEY, &r, NULL);
}

int32_t RemoteDeleteValue(netid_remote_key* key, const char* name)
{
    struct wire_delete r = {.in = {&key->handle, RemoteText(name)}};
    return RemoteInvoke(key, WIRE_DELETE_VALUE, &r, NULL);
}

int32_t RemoteFlushKey(netid_remote_key* key)
{
    struct wire_handle_only r = {.in = {&key->handle}};
    return RemoteInvoke(key, WIRE_FLUSH_KEY, &r, NULL);
}
