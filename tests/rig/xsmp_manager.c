/*
 * A minimal X session manager (XSMP over ICE) for tests: it lets a client register, then asks it to save
 * itself for a shutdown and ends or cancels the shutdown on command.
 *
 * Listens on a local socket only and prints, one line each, on stdout:
 *   listening <SESSION_MANAGER value>
 *   registered <client id>
 *   interact-request        the client asked to interact with the user (granted at once, so nothing blocks)
 *   interact-done <cancel>  1 if the client asked to cancel the shutdown there
 *   phase2-request
 *   save-done <success>     the client's answer to a save-yourself: 1 success, 0 failure
 *   closed                  the client closed its connection
 * Commands on stdin, one a line:
 *   save    SaveYourself (save type both, shutdown, interact style any, not fast)
 *   die     Die
 *   cancel  ShutdownCancelled
 *   quit    end the manager (so does the end of stdin)
 */
#define _POSIX_C_SOURCE 200809L

#include <X11/ICE/ICElib.h>
#include <X11/SM/SMlib.h>

#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern int _IceTransNoListen(const char* protocol);

enum { MaxListen = 8, MaxConns = 8 };

static IceListenObj listenObjs[MaxListen];
static int listenCount;
static IceConn conns[MaxConns];
static int connCount;
static SmsConn client;

__attribute__((format(printf, 1, 2))) static void say(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    putchar('\n');
    fflush(stdout);
}

static Bool allowLocal(char* hostName)
{
    (void)hostName;
    return True;
}

static Status registerClient(SmsConn conn, SmPointer data, char* previousId)
{
    (void)data;
    /* A previous id belongs to us now, like a generated one. */
    char* id = previousId ? previousId : SmsGenerateClientID(conn);
    if (!id)
        return 0;
    client = conn;
    SmsRegisterClientReply(conn, id);
    say("registered %s", id);
    free(id);
    return 1;
}

static void interactRequest(SmsConn conn, SmPointer data, int dialogType)
{
    (void)data;
    (void)dialogType;
    say("interact-request");
    SmsInteract(conn);
}

static void interactDone(SmsConn conn, SmPointer data, Bool cancelShutdown)
{
    (void)conn;
    (void)data;
    say("interact-done %d", cancelShutdown ? 1 : 0);
}

static void saveYourselfRequest(SmsConn conn, SmPointer data, int saveType, Bool shutdown, int interactStyle, Bool fast,
                                Bool global)
{
    (void)data;
    (void)global;
    SmsSaveYourself(conn, saveType, shutdown, interactStyle, fast);
}

static void phase2Request(SmsConn conn, SmPointer data)
{
    (void)data;
    say("phase2-request");
    SmsSaveYourselfPhase2(conn);
}

static void saveYourselfDone(SmsConn conn, SmPointer data, Bool success)
{
    (void)conn;
    (void)data;
    say("save-done %d", success ? 1 : 0);
}

static void closeConnection(SmsConn conn, SmPointer data, int count, char** reasons)
{
    (void)data;
    IceConn ice = SmsGetIceConnection(conn);
    SmFreeReasons(count, reasons);
    if (conn == client)
        client = NULL;
    SmsCleanUp(conn);
    IceSetShutdownNegotiation(ice, False);
    IceCloseConnection(ice);
    for (int i = 0; i < connCount; ++i) {
        if (conns[i] == ice) {
            conns[i] = conns[--connCount];
            break;
        }
    }
    say("closed");
}

static void setProperties(SmsConn conn, SmPointer data, int count, SmProp** props)
{
    (void)conn;
    (void)data;
    for (int i = 0; i < count; ++i)
        SmFreeProperty(props[i]);
    free(props);
}

static void deleteProperties(SmsConn conn, SmPointer data, int count, char** names)
{
    (void)conn;
    (void)data;
    for (int i = 0; i < count; ++i)
        free(names[i]);
    free(names);
}

static void getProperties(SmsConn conn, SmPointer data)
{
    (void)data;
    SmsReturnProperties(conn, 0, NULL);
}

static Status newClient(SmsConn conn, SmPointer data, unsigned long* mask, SmsCallbacks* callbacks,
                        char** failureReason)
{
    (void)conn;
    (void)data;
    (void)failureReason;
    memset(callbacks, 0, sizeof *callbacks);
    callbacks->register_client.callback = registerClient;
    callbacks->interact_request.callback = interactRequest;
    callbacks->interact_done.callback = interactDone;
    callbacks->save_yourself_request.callback = saveYourselfRequest;
    callbacks->save_yourself_phase2_request.callback = phase2Request;
    callbacks->save_yourself_done.callback = saveYourselfDone;
    callbacks->close_connection.callback = closeConnection;
    callbacks->set_properties.callback = setProperties;
    callbacks->delete_properties.callback = deleteProperties;
    callbacks->get_properties.callback = getProperties;
    *mask = SmsRegisterClientProcMask | SmsInteractRequestProcMask | SmsInteractDoneProcMask |
            SmsSaveYourselfRequestProcMask | SmsSaveYourselfP2RequestProcMask | SmsSaveYourselfDoneProcMask |
            SmsCloseConnectionProcMask | SmsSetPropertiesProcMask | SmsDeletePropertiesProcMask |
            SmsGetPropertiesProcMask;
    return 1;
}

static void dropConnection(int index)
{
    IceConn ice = conns[index];
    conns[index] = conns[--connCount];
    IceSetShutdownNegotiation(ice, False);
    IceCloseConnection(ice);
    client = NULL;
    say("closed");
}

/* Returns 0 when the manager should end. */
static int command(const char* line)
{
    if (strcmp(line, "quit") == 0)
        return 0;
    if (!client) {
        say("error no-client");
        return 1;
    }
    if (strcmp(line, "save") == 0)
        SmsSaveYourself(client, SmSaveBoth, True, SmInteractStyleAny, False);
    else if (strcmp(line, "die") == 0)
        SmsDie(client);
    else if (strcmp(line, "cancel") == 0)
        SmsShutdownCancelled(client);
    else
        say("error unknown-command");
    return 1;
}

int main(void)
{
    char error[256] = "";
    if (!SmsInitialize("orvane-tests", "1.0", newClient, NULL, allowLocal, sizeof error, error)) {
        fprintf(stderr, "SmsInitialize: %s\n", error);
        return 1;
    }
    /* Local connections only: no TCP listener on any interface. */
    _IceTransNoListen("tcp");
    IceListenObj* objs = NULL;
    if (!IceListenForConnections(&listenCount, &objs, sizeof error, error) || listenCount == 0) {
        fprintf(stderr, "IceListenForConnections: %s\n", error);
        return 1;
    }
    if (listenCount > MaxListen)
        listenCount = MaxListen;
    for (int i = 0; i < listenCount; ++i) {
        listenObjs[i] = objs[i];
        IceSetHostBasedAuthProc(objs[i], allowLocal);
    }
    char* ids = IceComposeNetworkIdList(listenCount, objs);
    say("listening %s", ids);
    free(ids);

    char line[256];
    size_t used = 0;
    for (;;) {
        struct pollfd fds[1 + MaxListen + MaxConns];
        int n = 0;
        fds[n++] = (struct pollfd){.fd = STDIN_FILENO, .events = POLLIN};
        for (int i = 0; i < listenCount; ++i)
            fds[n++] = (struct pollfd){.fd = IceGetListenConnectionNumber(listenObjs[i]), .events = POLLIN};
        for (int i = 0; i < connCount; ++i)
            fds[n++] = (struct pollfd){.fd = IceConnectionNumber(conns[i]), .events = POLLIN};
        if (poll(fds, (nfds_t)n, -1) < 0)
            continue;

        for (int i = connCount - 1; i >= 0; --i) {
            if (!(fds[1 + listenCount + i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const IceProcessMessagesStatus status = IceProcessMessages(conns[i], NULL, NULL);
            if (status == IceProcessMessagesIOError)
                dropConnection(i);
        }
        for (int i = 0; i < listenCount; ++i) {
            if (!(fds[1 + i].revents & POLLIN))
                continue;
            IceAcceptStatus status;
            IceConn ice = IceAcceptConnection(listenObjs[i], &status);
            if (ice && status == IceAcceptSuccess && connCount < MaxConns)
                conns[connCount++] = ice;
            else if (ice)
                IceCloseConnection(ice);
        }
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            const ssize_t got = read(STDIN_FILENO, line + used, sizeof line - 1 - used);
            if (got <= 0)
                break;
            used += (size_t)got;
            line[used] = '\0';
            char* end;
            int keepGoing = 1;
            while (keepGoing && (end = strchr(line, '\n'))) {
                *end = '\0';
                keepGoing = command(line);
                const size_t rest = used - (size_t)(end + 1 - line);
                memmove(line, end + 1, rest);
                used = rest;
                line[used] = '\0';
            }
            if (!keepGoing)
                break;
            if (used == sizeof line - 1)
                used = 0;
        }
    }
    IceFreeListenObjs(listenCount, objs);
    return 0;
}
