// SPDX-License-Identifier: LGPL-2.1-or-later
/* Another machine's registry: the interface of the remote module
 * (libnetid-remote.so), which the registry calls load with dlopen when a
 * machine name is not this machine's. Plain C, shared by the module (C, over
 * Samba's libraries) and the calls (C++). Names and paths are UTF-8;
 * string data passes as UTF-16LE bytes, as the wire carries it. Every
 * function answers a Win32 status.
 *
 * The module links Samba's libraries, which are GPL-3.0-or-later: the
 * module as built and combined with them is under GPL-3.0-or-later. This
 * header, which the rest of the project includes, holds no Samba code. */
#ifndef NETID_PLATFORM_POSIX_REMOTE_REMOTE_H
#define NETID_PLATFORM_POSIX_REMOTE_REMOTE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define NETID_REMOTE_VERSION 1u
/* The symbol the loader looks up: const struct netid_remote_interface*(void). */
#define NETID_REMOTE_ENTRY "netid_remote_interface"

/* The roots another machine's registry opens. */
enum netid_remote_root {
    NETID_REMOTE_HKLM = 2,
    NETID_REMOTE_HKPD = 3,
    NETID_REMOTE_HKU = 4
};

/* Who logs on. A null field is taken from the environment as Samba's tools
 * take it (USER, PASSWD, PASSWD_FILE, KRB5CCNAME). */
struct netid_remote_credentials {
    const char* user;
    const char* password;
    const char* domain;
};

/* What RegQueryInfoKey tells; lengths in UTF-16 units, sizes in bytes. */
struct netid_remote_info {
    uint32_t subkeys;
    uint32_t max_subkey_len;
    uint32_t max_class_len;
    uint32_t values;
    uint32_t max_value_name_len;
    uint32_t max_value_len;
    uint32_t security_size;
    uint64_t last_write;
};

/* An open key of another machine (a root or a key beneath one). Each holds
 * its connection; the connection closes with its last key. */
typedef struct netid_remote_key netid_remote_key;

struct netid_remote_interface {
    uint32_t version;
    /* Connects to `host` (name or address; `port` 0 for the usual one) and
     * opens `root` with `access`. 53 when the machine cannot be reached,
     * 1326 when the logon is refused. */
    int32_t (*connect)(const char* host, unsigned port, uint32_t root, uint32_t access,
                       const struct netid_remote_credentials* credentials, netid_remote_key** out);
    int32_t (*open_key)(netid_remote_key* base, const char* path, uint32_t options, uint32_t access,
                        netid_remote_key** out);
    int32_t (*create_key)(netid_remote_key* base, const char* path, const char* key_class,
                          uint32_t options, uint32_t access, const uint8_t* security,
                          uint32_t security_size, netid_remote_key** out, uint32_t* disposition);
    /* Closes the key on the server and frees it, whatever the answer. */
    int32_t (*close_key)(netid_remote_key* key);
    /* The key's class into `key_class` (`class_capacity` bytes with the
     * NUL; may be null) and its counts. */
    int32_t (*query_info)(netid_remote_key* key, char* key_class, uint32_t class_capacity,
                          struct netid_remote_info* info);
    int32_t (*enum_key)(netid_remote_key* key, uint32_t index, char* name, uint32_t name_capacity,
                        char* key_class, uint32_t class_capacity, uint64_t* last_write);
    /* Data: `*size` is the buffer's capacity on entry (data may be null to
     * learn the size) and the data's size on return; 234 when it does not
     * fit. */
    int32_t (*enum_value)(netid_remote_key* key, uint32_t index, char* name, uint32_t name_capacity,
                          uint32_t* type, uint8_t* data, uint32_t* size);
    int32_t (*query_value)(netid_remote_key* key, const char* name, uint32_t* type, uint8_t* data,
                           uint32_t* size);
    int32_t (*set_value)(netid_remote_key* key, const char* name, uint32_t type, const uint8_t* data,
                         uint32_t size);
    int32_t (*delete_key)(netid_remote_key* key, const char* path);
    int32_t (*delete_value)(netid_remote_key* key, const char* name);
    int32_t (*flush_key)(netid_remote_key* key);
    /* A self-relative descriptor; `*size` as for data. */
    int32_t (*get_security)(netid_remote_key* key, uint32_t information, uint8_t* descriptor,
                            uint32_t* size);
    int32_t (*set_security)(netid_remote_key* key, uint32_t information, const uint8_t* descriptor,
                            uint32_t size);
    /* Waits for a change (the remote form is synchronous only). */
    int32_t (*notify)(netid_remote_key* key, int subtree, uint32_t filter);
    /* File names are the server's. */
    int32_t (*save_key)(netid_remote_key* key, const char* file);
    int32_t (*restore_key)(netid_remote_key* key, const char* file, uint32_t flags);
    int32_t (*load_key)(netid_remote_key* key, const char* subkey, const char* file);
    int32_t (*unload_key)(netid_remote_key* key, const char* subkey);
    int32_t (*replace_key)(netid_remote_key* key, const char* subkey, const char* new_file,
                           const char* old_file);
};

typedef const struct netid_remote_interface* (*netid_remote_entry)(void);

#ifdef __cplusplus
}
#endif

#endif
