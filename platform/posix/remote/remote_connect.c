// SPDX-License-Identifier: LGPL-2.1-or-later
/* Connecting to another machine's registry (SMB, the named pipe
 * \pipe\winreg) within a bound of our own, and the locks that let threads
 * use different machines at once.
 *
 * Samba's libraries keep some state for the whole process: a stack of
 * temporary allocations (one per thread once the thread functions below
 * are installed, a single one otherwise), and character-set converters
 * that loading a configuration rebuilds. So: the thread functions are
 * installed before Samba is first used; a configuration is loaded under
 * the write side of `g_samba`, every call holds its read side; connecting
 * (name resolution, logon) is serialised by `g_connecting`, but calls on
 * connections already made go on meanwhile, each under its connection's
 * lock, and so does closing them. Lock order: g_connecting, g_samba, a
 * connection's lock.
 *
 * Terms: part of the remote module, which links Samba's GPL-3.0-or-later
 * libraries; the module as built is GPL-3.0-or-later. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <credentials.h>
#include <param.h>

#include "platform/posix/remote/remote_call.h"

/* How long a connection may take (name, TCP, SMB negotiation, logon, the
 * pipe's bind) before the machine counts as unreachable (53). A machine
 * that is switched off or a listener that never answers would otherwise
 * hold the caller for Samba's own bound, a minute. 20 s is about what
 * Windows' own client takes to give up on a TCP connection (three tries),
 * and two orders above a connection on a line's network (0.13 s);
 * NETID_REMOTE_TIMEOUT (seconds, 1 to 3600) sets another. */
enum { kConnectSeconds = 20, kMaxConnectSeconds = 3600 };

/* A configuration loaded once for each SMB port asked for; past this many
 * ports, each connection loads its own (under the write lock). */
enum { kSharedConfigs = 16 };

static pthread_mutex_t g_connecting = PTHREAD_MUTEX_INITIALIZER;
static pthread_rwlock_t g_samba = PTHREAD_RWLOCK_INITIALIZER;
static int g_initialised;  /* under g_connecting */
static struct {
    unsigned port;
    struct loadparm_context* lp;
} g_configs[kSharedConfigs];
static unsigned g_config_count;

/* ------------------------------------------------------------ Samba's thread functions */

/* Samba's table of thread functions (libsamba-util exports the setter and
 * the table's pointer, without a header): mutexes and thread-local
 * values. Its stack of temporary allocations is one per thread with it. */
struct samba_thread_functions {
    int (*create_mutex)(const char* name, void** lock, const char* location);
    void (*destroy_mutex)(void* lock, const char* location);
    int (*lock_mutex)(void* lock, int lock_type, const char* location);
    int (*create_tls)(const char* name, void** key, const char* location);
    void (*destroy_tls)(void** key, const char* location);
    int (*set_tls)(void* key, const void* value, const char* location);
    void* (*get_tls)(void* key, const char* location);
};
extern const struct samba_thread_functions* global_tfp;
int smb_thread_set_functions(const struct samba_thread_functions* functions);

enum { kSambaUnlock = 2 };

static int CreateMutex(const char* name, void** lock, const char* location)
{
    (void)name;
    (void)location;
    pthread_mutex_t* mutex = malloc(sizeof *mutex);
    if (mutex == NULL) return ENOMEM;
    pthread_mutex_init(mutex, NULL);
    *lock = mutex;
    return 0;
}

static void DestroyMutex(void* lock, const char* location)
{
    (void)location;
    pthread_mutex_destroy(lock);
    free(lock);
}

static int LockMutex(void* lock, int lock_type, const char* location)
{
    (void)location;
    return lock_type == kSambaUnlock ? pthread_mutex_unlock(lock) : pthread_mutex_lock(lock);
}

/* A thread's stack of temporary allocations, as Samba keeps it: freed when
 * the thread ends with the stack empty (it always is between calls). */
struct samba_frames {
    int size;
    int capacity;
    void** frames;
};

static void FreeFrames(void* value)
{
    struct samba_frames* stack = value;
    if (stack->size != 0) return;  /* frames still held: left as they are */
    talloc_free(stack->frames);
    free(stack);
}

static int CreateTls(const char* name, void** key, const char* location)
{
    (void)location;
    pthread_key_t* made = malloc(sizeof *made);
    if (made == NULL) return ENOMEM;
    const int frames = name != NULL && strcmp(name, "talloc_stackframe") == 0;
    int status = pthread_key_create(made, frames ? FreeFrames : NULL);
    if (status != 0) {
        free(made);
        return status;
    }
    *key = made;
    return 0;
}

static void DestroyTls(void** key, const char* location)
{
    (void)location;
    if (*key == NULL) return;
    pthread_key_delete(*(pthread_key_t*)*key);
    free(*key);
    *key = NULL;
}

/* Samba asks for a thread's value before it makes the key: none yet. */
static int SetTls(void* key, const void* value, const char* location)
{
    (void)location;
    return key != NULL ? pthread_setspecific(*(pthread_key_t*)key, value) : EINVAL;
}

static void* GetTls(void* key, const char* location)
{
    (void)location;
    return key != NULL ? pthread_getspecific(*(pthread_key_t*)key) : NULL;
}

static const struct samba_thread_functions g_thread_functions = {
    CreateMutex, DestroyMutex, LockMutex, CreateTls, DestroyTls, SetTls, GetTls,
};

/* Once, before anything of Samba runs: its thread functions (unless the
 * program installed its own), then its RPC client. */
static int Initialise(void)
{
    if (g_initialised) return 1;
    if (global_tfp == NULL && smb_thread_set_functions(&g_thread_functions) != 0) return 0;
    if (!NT_STATUS_IS_OK(dcerpc_init())) return 0;
    g_initialised = 1;
    return 1;
}

/* ------------------------------------------------------------ locks */

void RemoteEnter(struct connection* conn)
{
    pthread_rwlock_rdlock(&g_samba);
    pthread_mutex_lock(&conn->lock);
}

void RemoteLeave(struct connection* conn)
{
    pthread_mutex_unlock(&conn->lock);
    pthread_rwlock_unlock(&g_samba);
}

netid_remote_key* RemoteNewKey(struct connection* conn, const struct policy_handle* handle)
{
    netid_remote_key* key = talloc_zero(conn, netid_remote_key);
    if (key == NULL) return NULL;
    key->conn = conn;
    key->handle = *handle;
    ++conn->keys;
    return key;
}

int RemoteForgetKey(netid_remote_key* key)
{
    struct connection* conn = key->conn;
    talloc_free(key);
    return --conn->keys == 0;
}

/* Closing the pipe may make a call of its own (on this thread's stack of
 * allocations), so it holds the read side as calls do. */
void RemoteRelease(struct connection* conn)
{
    pthread_rwlock_rdlock(&g_samba);
    pthread_mutex_destroy(&conn->lock);
    talloc_free(conn);
    pthread_rwlock_unlock(&g_samba);
}

/* ------------------------------------------------------------ connecting */

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

static unsigned ConnectSeconds(void)
{
    const char* text = secure_getenv("NETID_REMOTE_TIMEOUT");
    if (text == NULL || *text == '\0') return kConnectSeconds;
    char* end = NULL;
    errno = 0;
    unsigned long seconds = strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || seconds < 1 || seconds > kMaxConnectSeconds) return kConnectSeconds;
    return (unsigned)seconds;
}

/* The system's client configuration with `port` (0: its own ports), loaded
 * once for each port; `conn` owns one made past the shared ones. Under
 * g_connecting. */
static struct loadparm_context* Config(struct connection* conn, unsigned port)
{
    for (unsigned i = 0; i < g_config_count; ++i) {
        if (g_configs[i].port == port) return g_configs[i].lp;
    }
    const int shared = g_config_count < kSharedConfigs;
    struct loadparm_context* lp = loadparm_init(shared ? NULL : (TALLOC_CTX*)conn);
    if (lp == NULL) return NULL;
    pthread_rwlock_wrlock(&g_samba);  /* loading rebuilds the converters calls use */
    lpcfg_load_default(lp);
    pthread_rwlock_unlock(&g_samba);
    if (port != 0) {
        char ports[16];
        snprintf(ports, sizeof ports, "%u", port);
        if (!lpcfg_set_cmdline(lp, "smb ports", ports)) {
            talloc_free(lp);
            return NULL;
        }
    }
    if (shared) {
        g_configs[g_config_count].port = port;
        g_configs[g_config_count].lp = lp;
        ++g_config_count;
    }
    return lp;
}

/* The head of the request dcerpc_pipe_connect_send answers (Samba's
 * composite_context): its state comes first, done from kComposedDone on. */
struct composed_head {
    int state;
};
enum { kComposedDone = 2 };

static void Expire(struct tevent_context* ev, struct tevent_timer* timer, struct timeval now, void* flag)
{
    (void)ev;
    (void)timer;
    (void)now;
    *(int*)flag = 1;
}

/* Opens the pipe to `host` within the bound: the connection is driven on
 * its own event loop until it is done or the time is up, and abandoned
 * then (freeing the request closes its sockets). */
static NTSTATUS OpenPipe(struct connection* conn, const char* host, struct cli_credentials* creds,
                         struct loadparm_context* lp)
{
    char* binding = talloc_asprintf(conn, "ncacn_np:%s[\\pipe\\winreg]", host);
    if (binding == NULL) return NT_STATUS_NO_MEMORY;
    struct composite_context* request =
        dcerpc_pipe_connect_send(conn, binding, &ndr_table_winreg, creds, conn->ev, lp);
    if (request == NULL) return NT_STATUS_NO_MEMORY;
    /* Only a request of the known kind is watched; any other is waited for
     * as the library waits. */
    if (talloc_check_name(request, "struct composite_context") != NULL) {
        int expired = 0;
        TALLOC_CTX* wait = talloc_new(conn);
        struct tevent_timer* timer =
            wait != NULL ? tevent_add_timer(conn->ev, wait, tevent_timeval_current_ofs(ConnectSeconds(), 0),
                                            Expire, &expired)
                         : NULL;
        while (timer != NULL && !expired && ((struct composed_head*)request)->state < kComposedDone) {
            if (tevent_loop_once(conn->ev) != 0) break;
        }
        talloc_free(wait);
        if (((struct composed_head*)request)->state < kComposedDone) {
            talloc_free(request);
            return NT_STATUS_IO_TIMEOUT;
        }
    }
    return dcerpc_pipe_connect_recv(request, conn, &conn->pipe);
}

static int32_t Connect(const char* host, unsigned port, const struct netid_remote_credentials* who,
                       struct connection** out)
{
    if (!Initialise()) return kBadNetPath;
    struct connection* conn = talloc_zero(NULL, struct connection);
    if (conn == NULL) return kNotEnoughMemory;
    conn->ev = tevent_context_init(conn);
    struct loadparm_context* lp = conn->ev != NULL ? Config(conn, port) : NULL;
    struct cli_credentials* creds = lp != NULL ? cli_credentials_init(conn) : NULL;
    if (creds == NULL) {
        talloc_free(conn);
        return kNotEnoughMemory;
    }
    /* The environment's logon (USER, PASSWD, PASSWD_FILE, KRB5CCNAME), then
     * what the caller gave. */
    cli_credentials_set_conf(creds, lp);
    cli_credentials_guess(creds, lp);
    if (who != NULL && who->user != NULL) cli_credentials_set_username(creds, who->user, CRED_SPECIFIED);
    if (who != NULL && who->password != NULL) {
        cli_credentials_set_password(creds, who->password, CRED_SPECIFIED);
    }
    if (who != NULL && who->domain != NULL) cli_credentials_set_domain(creds, who->domain, CRED_SPECIFIED);
    pthread_rwlock_rdlock(&g_samba);
    NTSTATUS connected = OpenPipe(conn, host, creds, lp);
    if (!NT_STATUS_IS_OK(connected)) talloc_free(conn);
    pthread_rwlock_unlock(&g_samba);
    if (!NT_STATUS_IS_OK(connected)) return ConnectStatus(connected);
    pthread_mutex_init(&conn->lock, NULL);
    *out = conn;
    return kSuccess;
}

int32_t RemoteConnect(const char* host, unsigned port, uint32_t root, uint32_t access,
                      const struct netid_remote_credentials* who, netid_remote_key** out)
{
    *out = NULL;
    if (root != NETID_REMOTE_HKLM && root != NETID_REMOTE_HKPD && root != NETID_REMOTE_HKU) {
        return kInvalidHandle;
    }
    if (host == NULL || *host == '\0' || strpbrk(host, "[]\\/ ") != NULL) return kBadNetPath;
    struct connection* conn = NULL;
    pthread_mutex_lock(&g_connecting);
    int32_t status = Connect(host, port, who, &conn);
    pthread_mutex_unlock(&g_connecting);
    if (status != kSuccess) return status;
    RemoteEnter(conn);
    status = RemoteOpenRoot(conn, root, access, out);
    RemoteLeave(conn);
    if (status != kSuccess) RemoteRelease(conn);
    return status;
}
