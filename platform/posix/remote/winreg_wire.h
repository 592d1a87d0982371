// SPDX-License-Identifier: LGPL-2.1-or-later
/* The remote registry protocol's calls as C structures, in the layout the
 * marshallers of Samba's libndr-standard take (its `ndr_table_winreg`
 * names each call's push and pull functions; no header for them is
 * installed). Each call is a structure of what goes in and what comes out,
 * each side with the parameters that pass one way first and those that pass
 * both ways after them; the opnums are the protocol's. Plain C: Samba's headers are not C++. */
#ifndef NETID_PLATFORM_POSIX_REMOTE_WINREG_WIRE_H
#define NETID_PLATFORM_POSIX_REMOTE_WINREG_WIRE_H

#include <stdbool.h>
#include <stdint.h>

#include <core/werror.h>
#include <gen_ndr/misc.h>
#include <ndr.h>

extern const struct ndr_interface_table ndr_table_winreg;

enum wire_opnum {
    WIRE_OPEN_HKLM = 0x02,
    WIRE_OPEN_HKPD = 0x03,
    WIRE_OPEN_HKU = 0x04,
    WIRE_CLOSE_KEY = 0x05,
    WIRE_CREATE_KEY = 0x06,
    WIRE_DELETE_KEY = 0x07,
    WIRE_DELETE_VALUE = 0x08,
    WIRE_ENUM_KEY = 0x09,
    WIRE_ENUM_VALUE = 0x0a,
    WIRE_FLUSH_KEY = 0x0b,
    WIRE_GET_KEY_SECURITY = 0x0c,
    WIRE_LOAD_KEY = 0x0d,
    WIRE_NOTIFY_CHANGE = 0x0e,
    WIRE_OPEN_KEY = 0x0f,
    WIRE_QUERY_INFO_KEY = 0x10,
    WIRE_QUERY_VALUE = 0x11,
    WIRE_REPLACE_KEY = 0x12,
    WIRE_RESTORE_KEY = 0x13,
    WIRE_SAVE_KEY = 0x14,
    WIRE_SET_KEY_SECURITY = 0x15,
    WIRE_SET_VALUE = 0x16,
    WIRE_UNLOAD_KEY = 0x17
};

/* A counted string (RRP_UNICODE_STRING); the marshaller fills in the
 * lengths from the text. */
struct wire_string {
    uint16_t length;
    uint16_t size;
    const char* text;
};

/* A string the server fills: `size` bytes of room. */
struct wire_string_buf {
    uint16_t length;
    uint16_t size;
    const char* text;
};

struct wire_security_data {
    uint8_t* data;
    uint32_t size;
    uint32_t len;
};

struct wire_security_buf {
    uint32_t length;
    struct wire_security_data sd;
    uint8_t inherit;
};

struct wire_security_attribute {
    uint32_t data_size;
    struct wire_security_data sec_data;
    uint8_t inherit;
};

struct wire_open_root {
    struct {
        uint16_t* system_name;
        uint32_t access_mask;
    } in;
    struct {
        struct policy_handle* handle;
        WERROR result;
    } out;
};

struct wire_close_key {
    struct {
        struct policy_handle* handle;
    } in;
    struct {
        struct policy_handle* handle;
        WERROR result;
    } out;
};

struct wire_create_key {
    struct {
        struct policy_handle* handle;
        struct wire_string name;
        struct wire_string keyclass;
        uint32_t options;
        uint32_t access_mask;
        struct wire_security_buf* secdesc;
        uint32_t* action_taken;
    } in;
    struct {
        struct policy_handle* new_handle;
        uint32_t* action_taken;
        WERROR result;
    } out;
};

/* DeleteKey and DeleteValue. */
struct wire_delete {
    struct {
        struct policy_handle* handle;
        struct wire_string name;
    } in;
    struct {
        WERROR result;
    } out;
};

struct wire_enum_key {
    struct {
        struct policy_handle* handle;
        uint32_t enum_index;
        struct wire_string_buf* name;
        struct wire_string_buf* keyclass;
        NTTIME* last_changed_time;
    } in;
    struct {
        struct wire_string_buf* name;
        struct wire_string_buf* keyclass;
        NTTIME* last_changed_time;
        WERROR result;
    } out;
};

struct wire_enum_value {
    struct {
        struct policy_handle* handle;
        uint32_t enum_index;
        struct wire_string_buf* name;
        enum winreg_Type* type;
        uint8_t* value;
        uint32_t* size;
        uint32_t* length;
    } in;
    struct {
        struct wire_string_buf* name;
        enum winreg_Type* type;
        uint8_t* value;
        uint32_t* size;
        uint32_t* length;
        WERROR result;
    } out;
};

struct wire_handle_only {
    struct {
        struct policy_handle* handle;
    } in;
    struct {
        WERROR result;
    } out;
};

struct wire_get_key_security {
    struct {
        struct policy_handle* handle;
        uint32_t sec_info;
        struct wire_security_data* sd;
    } in;
    struct {
        struct wire_security_data* sd;
        WERROR result;
    } out;
};

struct wire_load_key {
    struct {
        struct policy_handle* handle;
        struct wire_string* keyname;
        struct wire_string* filename;
    } in;
    struct {
        WERROR result;
    } out;
};

struct wire_notify_change {
    struct {
        struct policy_handle* handle;
        uint8_t watch_subtree;
        uint32_t notify_filter;
        uint32_t unknown;
        struct wire_string string1;
        struct wire_string string2;
        uint32_t unknown2;
    } in;
    struct {
        WERROR result;
    } out;
};

struct wire_open_key {
    struct {
        struct policy_handle* parent_handle;
        struct wire_string keyname;
        uint32_t options;
        uint32_t access_mask;
    } in;
    struct {
        struct policy_handle* handle;
        WERROR result;
    } out;
};

struct wire_query_info_key {
    struct {
        struct policy_handle* handle;
        struct wire_string* classname;
    } in;
    struct {
        uint32_t* num_subkeys;
        uint32_t* max_subkeylen;
        uint32_t* max_classlen;
        uint32_t* num_values;
        uint32_t* max_valnamelen;
        uint32_t* max_valbufsize;
        uint32_t* secdescsize;
        NTTIME* last_changed_time;
        struct wire_string* classname;
        WERROR result;
    } out;
};

struct wire_query_value {
    struct {
        struct policy_handle* handle;
        struct wire_string* value_name;
        enum winreg_Type* type;
        uint8_t* data;
        uint32_t* data_size;
        uint32_t* data_length;
    } in;
    struct {
        enum winreg_Type* type;
        uint8_t* data;
        uint32_t* data_size;
        uint32_t* data_length;
        WERROR result;
    } out;
};

struct wire_replace_key {
    struct {
        struct policy_handle* handle;
        struct wire_string* subkey;
        struct wire_string* new_file;
        struct wire_string* old_file;
    } in;
    struct {
        WERROR result;
    } out;
};

struct wire_restore_key {
    struct {
        struct policy_handle* handle;
        struct wire_string* filename;
        uint32_t flags;
    } in;
    struct {
        WERROR result;
    } out;
};

struct wire_save_key {
    struct {
        struct policy_handle* handle;
        struct wire_string* filename;
        struct wire_security_attribute* sec_attrib;
    } in;
    struct {
        WERROR result;
    } out;
};

struct wire_set_key_security {
    struct {
        struct policy_handle* handle;
        uint32_t sec_info;
        struct wire_security_data* sd;
    } in;
    struct {
        WERROR result;
    } out;
};

struct wire_set_value {
    struct {
        struct policy_handle* handle;
        struct wire_string name;
        enum winreg_Type type;
        uint8_t* data;
        uint32_t size;
    } in;
    struct {
        WERROR result;
    } out;
};

struct wire_unload_key {
    struct {
        struct policy_handle* handle;
        struct wire_string* subkey;
    } in;
    struct {
        WERROR result;
    } out;
};

#endif
