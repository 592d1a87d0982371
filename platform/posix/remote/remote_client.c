// SPDX-License-Identifier: LGPL-2.1-or-later
/* Another machine's registry over the remote registry protocol: connecting,
 * the calls on keys and on values, each one call through Samba's public
 * DCE/RPC transport (SMB, the named pipe \pipe\winreg) with the call
 * structures of winreg_wire.h. The callers hold the module's lock
 * (remote_files.c).
 *
 * Terms: this file is part of the remote module, which links Samba's
 * GPL-3.0-or-later libraries; the module as built is GPL-3.0-or-later. */
#include <stdio.h>
#include <string.h>

#include <talloc.h>
#include <tevent.h>

#include <core/error.h>
#include <credentials.h>
#include <dcerpc.h>
#include <param.h>
#include <rpc_common.h>

#include "platform/posix/remote/remote_call.h"

static int g_initialised;

/* ------------------------------------------------------------ statuses */

/* A failure to connect, as the platform reports it for a machine. */
static int32_t ConnectStatus(NTSTATUS status)
{
    if (NT_STATUS_EQUAL(status, NT_STATUS_LOGON_FAILURE) ||
        NT_STATUS_EQUAL(status, NT_STATUS_WRONG_PASSWORD) ||
        NT_STATUS_EQUAL(status, NT_STATUS_NO_SUCH_USER) ||
        NT_STATUS_EQUAL(status, NT_STATUS_ACCOUNT_DISABLED) ||
        NT_STATUS_EQUAL(status, NT_STATUS_ACCOUNT_LOCKED_OUT) ||
        NT_STATUS_EQUAL(status, NT_STATUS_PASSWORD_EXPIRED)) {
        return kLogonFailure;
    }
    if (NT_STATUS_EQUAL(status, NT_STATUS_ACCESS_DENIED)) return kAccessDenied;
    /* Refused, unreachable, timed out, no such pipe, a name that does not
     * resolve (the transport answers that last as a shortage of memory). */
    return kBadNetPath;
}

int32_t RemoteStatus(NTSTATUS status, WERROR result)
{
    if (NT_STATUS_IS_OK(status)) return (int32_t)W_ERROR_V(result);
    if (NT_STATUS_EQUAL(status, NT_STATUS_ACCESS_DENIED)) return kAccessDenied;
    if (NT_STATUS_EQUAL(status, NT_STATUS_NO_MEMORY)) return kNotEnoughMemory;
    WERROR mapped = ntstatus_to_werror(status);
    return W_ERROR_V(mapped) != 0 ? (int32_t)W_ERROR_V(mapped) : kCallFailed;
}

NTSTATUS RemoteCall(netid_remote_key* key, uint32_t opnum, TALLOC_CTX* mem, void* r)
{
    return dcerpc_binding_handle_call(key->conn->pipe->binding_handle, NULL, &ndr_table_winreg,
                                      opnum, mem, r);
}

/* ------------------------------------------------------------ keys */

static netid_remote_key* NewKey(struct connection* conn, const struct policy_handle* handle)
{
    netid_remote_key* key = talloc_zero(conn->mem, netid_remote_key);
    if (key == NULL) return NULL;
    key->conn = conn;
    key->handle = *handle;
    ++conn->keys;
    return key;
}

static void FreeKey(netid_remote_key* key)
{
    struct connection* conn = key->conn;
    talloc_free(key);
    if (--conn->keys == 0) talloc_free(conn->mem);  /* closes the pipe */
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

/* ------------------------------------------------------------ connecting */

int32_t RemoteConnect(const char* host, unsigned port, uint32_t root, uint32_t access,
                       const struct netid_remote_credentials* who, netid_remote_key** out)
{
    *out = NULL;
    if (root != NETID_REMOTE_HKLM && root != NETID_REMOTE_HKPD && root != NETID_REMOTE_HKU) {
        return 6;
    }
    if (host == NULL || *host == '\0' || strpbrk(host, "[]\\/ ") != NULL) return kBadNetPath;
    if (!g_initialised) {
        if (!NT_STATUS_IS_OK(dcerpc_init())) return kBadNetPath;
        g_initialised = 1;
    }
    struct connection* conn = talloc_zero(NULL, struct connection);
    if (conn == NULL) return kNotEnoughMemory;
    conn->mem = conn;
    int32_t status = kNotEnoughMemory;
    struct tevent_context* ev = tevent_context_init(conn);
    struct loadparm_context* lp = loadparm_init(conn);
    if (ev == NULL || lp == NULL) goto fail;
    /* The system's client settings, then the port asked for. */
    lpcfg_load_default(lp);
    if (port != 0) {
        char ports[16];
        snprintf(ports, sizeof ports, "%u", port);
        if (!lpcfg_set_cmdline(lp, "smb ports", ports)) goto fail;
    }
    struct cli_credentials* creds = cli_credentials_init(conn);
    if (creds == NULL) goto fail;
    cli_credentials_set_conf(creds, lp);
    cli_credentials_guess(creds, lp);  /* USER, PASSWD, PASSWD_FILE, KRB5CCNAME */
    if (who != NULL && who->user != NULL) cli_credentials_set_username(creds, who->user, CRED_SPECIFIED);
    if (who != NULL && who->password != NULL) {
        cli_credentials_set_password(creds, who->password, CRED_SPECIFIED);
    }
    if (who != NULL && who->domain != NULL) cli_credentials_set_domain(creds, who->domain, CRED_SPECIFIED);
    char* binding = talloc_asprintf(conn, "ncacn_np:%s[\\pipe\\winreg]", host);
    if (binding == NULL) goto fail;
    NTSTATUS connected = dcerpc_pipe_connect(conn, &conn->pipe, binding, &ndr_table_winreg, creds, ev, lp);
    if (!NT_STATUS_IS_OK(connected)) {
        status = ConnectStatus(connected);
        goto fail;
    }
    struct policy_handle handle;
    struct wire_open_root r;
    memset(&r, 0, sizeof r);
    r.in.access_mask = access;
    r.out.handle = &handle;
    netid_remote_key probe = {conn, {0}};
    const uint32_t opnum = root == NETID_REMOTE_HKLM ? WIRE_OPEN_HKLM
                           : root == NETID_REMOTE_HKU ? WIRE_OPEN_HKU : WIRE_OPEN_HKPD;
    status = RemoteStatus(RemoteCall(&probe, opnum, conn, &r), r.out.result);
    if (status != kSuccess) goto fail;
    *out = NewKey(conn, r.out.handle);
    if (*out == NULL) {
        status = kNotEnoughMemory;
        goto fail;
    }
    return kSuccess;
fail:
    talloc_free(conn);
    return status;
}

/* ------------------------------------------------------------ keys */

int32_t RemoteOpenKey(netid_remote_key* base, const char* path, uint32_t options, uint32_t access,
                       netid_remote_key** out)
{
    *out = NULL;
    TALLOC_CTX* mem = talloc_new(NULL);
    if (mem == NULL) return kNotEnoughMemory;
    struct policy_handle handle;
    struct wire_open_key r;
    memset(&r, 0, sizeof r);
    r.in.parent_handle = &base->handle;
    r.in.keyname = RemoteText(path);
    r.in.options = options;
    r.in.access_mask = access;
    r.out.handle = &handle;
    int32_t status = RemoteStatus(RemoteCall(base, WIRE_OPEN_KEY, mem, &r), r.out.result);
    if (status == kSuccess) {
        *out = NewKey(base->conn, r.out.handle);
        if (*out == NULL) status = kNotEnoughMemory;
    }
    talloc_free(mem);
    return status;
}

int32_t RemoteCreateKey(netid_remote_key* base, const char* path, const char* key_class,
                         uint32_t options, uint32_t access, const uint8_t* security,
                         uint32_t security_size, netid_remote_key** out, uint32_t* disposition)
{
    *out = NULL;
    TALLOC_CTX* mem = talloc_new(NULL);
    if (mem == NULL) return kNotEnoughMemory;
    struct policy_handle handle;
    uint32_t action = 0;
    struct wire_security_buf secbuf;
    memset(&secbuf, 0, sizeof secbuf);
    struct wire_create_key r;
    memset(&r, 0, sizeof r);
    r.in.handle = &base->handle;
    r.in.name = RemoteText(path);
    r.in.keyclass = RemoteText(key_class);
    r.in.options = options;
    r.in.access_mask = access;
    if (security != NULL) {
        secbuf.length = security_size;
        secbuf.sd.data = (uint8_t*)security;
        secbuf.sd.size = security_size;
        secbuf.sd.len = security_size;
        r.in.secdesc = &secbuf;
    }
    r.in.action_taken = &action;
    r.out.new_handle = &handle;
    r.out.action_taken = &action;
    int32_t status = RemoteStatus(RemoteCall(base, WIRE_CREATE_KEY, mem, &r), r.out.result);
    if (status == kSuccess) {
        if (disposition != NULL && r.out.action_taken != NULL) *disposition = *r.out.action_taken;
        *out = NewKey(base->conn, r.out.new_handle);
        if (*out == NULL) status = kNotEnoughMemory;
    }
    talloc_free(mem);
    return status;
}

int32_t RemoteCloseKey(netid_remote_key* key)
{
    TALLOC_CTX* mem = talloc_new(NULL);
    int32_t status = kNotEnoughMemory;
    if (mem != NULL) {
        struct policy_handle handle = key->handle;
        struct wire_close_key r;
        memset(&r, 0, sizeof r);
        r.in.handle = &handle;
        r.out.handle = &handle;
        status = RemoteStatus(RemoteCall(key, WIRE_CLOSE_KEY, mem, &r), r.out.result);
        talloc_free(mem);
    }
    FreeKey(key);
    return status;
}

int32_t RemoteQueryInfo(netid_remote_key* key, char* key_class, uint32_t class_capacity,
                         struct netid_remote_info* info)
{
    TALLOC_CTX* mem = talloc_new(NULL);
    if (mem == NULL) return kNotEnoughMemory;
    struct wire_string classname = RemoteText("");
    uint32_t counts[7] = {0};
    NTTIME when = 0;
    struct wire_query_info_key r;
    memset(&r, 0, sizeof r);
    r.in.handle = &key->handle;
    r.in.classname = &classname;
    r.out.classname = &classname;
    r.out.num_subkeys = &counts[0];
    r.out.max_subkeylen = &counts[1];
    r.out.max_classlen = &counts[2];
    r.out.num_values = &counts[3];
    r.out.max_valnamelen = &counts[4];
    r.out.max_valbufsize = &counts[5];
    r.out.secdescsize = &counts[6];
    r.out.last_changed_time = &when;
    int32_t status = RemoteStatus(RemoteCall(key, WIRE_QUERY_INFO_KEY, mem, &r), r.out.result);
    if (status == kSuccess) {
        info->subkeys = *r.out.num_subkeys;
        info->max_subkey_len = *r.out.max_subkeylen;
        info->max_class_len = *r.out.max_classlen;
        info->values = *r.out.num_values;
        info->max_value_name_len = *r.out.max_valnamelen;
        info->max_value_len = *r.out.max_valbufsize;
        info->security_size = *r.out.secdescsize;
        info->last_write = *r.out.last_changed_time;
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
    struct wire_enum_key r;
    memset(&r, 0, sizeof r);
    r.in.handle = &key->handle;
    r.in.enum_index = index;
    r.in.name = &name_buf;
    r.in.keyclass = &class_buf;
    r.in.last_changed_time = &when;
    r.out.name = &name_buf;
    r.out.keyclass = &class_buf;
    r.out.last_changed_time = &when;
    int32_t status = RemoteStatus(RemoteCall(key, WIRE_ENUM_KEY, mem, &r), r.out.result);
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

/* Reads data the server holds (a value by name or by index): the size
 * first, then the data into a buffer of that size, again when it grew
 * meanwhile. The server's data never exceeds what was asked for. */
typedef int32_t (*ReadData)(netid_remote_key* key, const void* which, TALLOC_CTX* mem,
                            uint8_t* buffer, uint32_t* size, uint32_t* type, char* name,
                            uint32_t name_capacity);

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
                status = kMoreData;
                talloc_free(mem);
                return status;
            }
            if (data != NULL && needed > 0) {
                uint32_t got = needed;
                status = read(key, which, mem, data, &got, &found, name, name_capacity);
                if (status == kSuccess) {
                    if (type != NULL) *type = found;
                    if (size != NULL) *size = got;
                } else if (status == kMoreData && got <= capacity) {
                    /* grew meanwhile but still fits: read again */
                } else if (status == kMoreData) {
                    if (size != NULL) *size = got;
                    talloc_free(mem);
                    return status;
                }
            }
        }
        talloc_free(mem);
    }
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
    struct wire_query_value r;
    memset(&r, 0, sizeof r);
    r.in.handle = &key->handle;
    r.in.value_name = &value_name;
    r.in.type = &t;
    r.in.data = buffer != NULL ? talloc_zero_size(mem, room) : NULL;
    if (buffer != NULL && r.in.data == NULL) return kNotEnoughMemory;
    r.in.data_size = &room;
    r.in.data_length = &length;
    r.out.type = &t;
    r.out.data = r.in.data;
    r.out.data_size = &room;
    r.out.data_length = &length;
    int32_t status = RemoteStatus(RemoteCall(key, WIRE_QUERY_VALUE, mem, &r), r.out.result);
    if (status != kSuccess && status != kMoreData) return status;
    if (r.out.type != NULL) *type = (uint32_t)*r.out.type;
    uint32_t got = r.out.data_size != NULL ? *r.out.data_size : 0;
    if (status == kSuccess && buffer != NULL) {
        got = r.out.data_length != NULL ? *r.out.data_length : 0;
        if (got > *size || r.out.data == NULL) return kCallFailed;  /* more than asked for */
        memcpy(buffer, r.out.data, got);
    }
    if (got > kMaxData) return kCallFailed;
    *size = got;
    return status;
}

struct enum_which {
    uint32_t index;
};

static int32_t ReadByIndex(netid_remote_key* key, const void* which, TALLOC_CTX* mem, uint8_t* buffer,
                           uint32_t* size, uint32_t* type, char* name, uint32_t name_capacity)
{
    struct wire_string_buf name_buf = {0, kValueNameRoom, ""};
    enum winreg_Type t = REG_NONE;
    uint32_t room = buffer != NULL ? *size : 0, length = 0;
    struct wire_enum_value r;
    memset(&r, 0, sizeof r);
    r.in.handle = &key->handle;
    r.in.enum_index = ((const struct enum_which*)which)->index;
    r.in.name = &name_buf;
    r.in.type = &t;
    r.in.value = buffer != NULL ? talloc_zero_size(mem, room) : NULL;
    if (buffer != NULL && r.in.value == NULL) return kNotEnoughMemory;
    r.in.size = &room;
    r.in.length = &length;
    r.out.name = &name_buf;
    r.out.type = &t;
    r.out.value = r.in.value;
    r.out.size = &room;
    r.out.length = &length;
    int32_t status = RemoteStatus(RemoteCall(key, WIRE_ENUM_VALUE, mem, &r), r.out.result);
    if (status != kSuccess && status != kMoreData) return status;
    if (r.out.type != NULL) *type = (uint32_t)*r.out.type;
    uint32_t got = r.out.size != NULL ? *r.out.size : 0;
    if (status == kSuccess && buffer != NULL) {
        got = r.out.length != NULL ? *r.out.length : 0;
        if (got > *size || r.out.value == NULL) return kCallFailed;
        memcpy(buffer, r.out.value, got);
    }
    if (got > kMaxData) return kCallFailed;
    *size = got;
    if (status == kSuccess) {
        int32_t named = Deliver(r.out.name->text, name, name_capacity);
        if (named != kSuccess) return named;
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
    struct enum_which which = {index};
    return ReadValue(key, &which, ReadByIndex, name, name_capacity, type, data, size);
}

int32_t RemoteSetValue(netid_remote_key* key, const char* name, uint32_t type, const uint8_t* data,
                        uint32_t size)
{
    TALLOC_CTX* mem = talloc_new(NULL);
    if (mem == NULL) return kNotEnoughMemory;
    static uint8_t none;
    struct wire_set_value r;
    memset(&r, 0, sizeof r);
    r.in.handle = &key->handle;
    r.in.name = RemoteText(name);
    r.in.type = (enum winreg_Type)type;
    r.in.data = data != NULL ? (uint8_t*)data : &none;
    r.in.size = size;
    int32_t status = RemoteStatus(RemoteCall(key, WIRE_SET_VALUE, mem, &r), r.out.result);
    talloc_free(mem);
    return status;
}

static int32_t Delete(netid_remote_key* key, uint32_t opnum, const char* name)
{
    TALLOC_CTX* mem = talloc_new(NULL);
    if (mem == NULL) return kNotEnoughMemory;
    struct wire_delete r;
    memset(&r, 0, sizeof r);
    r.in.handle = &key->handle;
    r.in.name = RemoteText(name);
    int32_t status = RemoteStatus(RemoteCall(key, opnum, mem, &r), r.out.result);
    talloc_free(mem);
    return status;
}

int32_t RemoteDeleteKey(netid_remote_key* key, const char* path)
{
    return Delete(key, WIRE_DELETE_KEY, path);
}

int32_t RemoteDeleteValue(netid_remote_key* key, const char* name)
{
    return Delete(key, WIRE_DELETE_VALUE, name);
}

int32_t RemoteFlushKey(netid_remote_key* key)
{
    TALLOC_CTX* mem = talloc_new(NULL);
    if (mem == NULL) return kNotEnoughMemory;
    struct wire_handle_only r;
    memset(&r, 0, sizeof r);
    r.in.handle = &key->handle;
    int32_t status = RemoteStatus(RemoteCall(key, WIRE_FLUSH_KEY, mem, &r), r.out.result);
    talloc_free(mem);
    return status;
}

