// One TLS session of a client socket over its non-blocking handle. The
// socket drives it from its network events: a handshake step on each read
// or write event until it is done, then reads and writes of plain bytes.
//
// Incoming records are read from the handle as the library asks for them,
// so nothing waits outside the system's buffer but the decrypted rest of the
// last record (Pending). Outgoing records are collected and handed to the
// handle in one call per write, and a write takes new bytes only once the
// records of the last one are out: what waits is one write's worth.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <sys/uio.h>

#include "net/WinsockTypes.h"

struct ssl_st;
struct bio_st;
struct bio_method_st;

namespace pv {

class TTlsContext;

class TTlsSession {
  public:
    enum TState : std::uint8_t {
        tlsHandshaking,
        tlsEstablished,
        tlsClosed, // the server ended the stream
        tlsFailed,
    };

    // HostName: the name (or dotted address) the server's certificate must
    // carry when the context verifies; also sent as the server name. Raises
    // ESocketException when no session can be made.
    TTlsSession(const TTlsContext &Context, SOCKET Socket, const std::string &HostName);
    ~TTlsSession();
    TTlsSession(const TTlsSession &) = delete;
    TTlsSession &operator=(const TTlsSession &) = delete;

    TState State() const { return FState; }
    // One step of the handshake: sends what is due and reads what came.
    // The state tells whether it is done, failed or waits for the network.
    void Handshake();
    // Count of plain bytes read, 0 at the end of the stream, or -1 with
    // WSAGetLastError: WSAEWOULDBLOCK while nothing is readable yet.
    int Read(void *Buffer, int Size);
    // Encrypts the pieces as one run of records and sends them; the count of
    // plain bytes taken, or -1 with WSAGetLastError (WSAEWOULDBLOCK while the
    // records of the last write are still waiting for room).
    int Write(const iovec *Pieces, int Count);
    // Sends records still waiting; true when none is left, else false with
    // WSAGetLastError (WSAEWOULDBLOCK, or why the connection failed).
    bool Flush();
    bool OutPending() const { return FOutPos < FOut.size(); }
    // Decrypted bytes that Read returns without reading the network.
    int Pending() const;
    // Sends close_notify once, without waiting for the server's.
    void Shutdown();

    // After a failure: its error number (TlsErrors.h; after the handshake a
    // WinSock number when the connection itself failed) and an account of
    // it in the library's words.
    int Error() const { return FError; }
    const std::string &ErrorText() const { return FErrorText; }
    // "TLSv1.3", "TLS_AES_256_GCM_SHA384"; "" before the handshake is done.
    std::string Protocol() const;
    std::string Cipher() const;

  private:
    // The handle's side of the library: records go to FOut, reads go to the
    // handle.
    static bio_method_st *Method();
    static int BioWrite(bio_st *Bio, const char *Data, int Len);
    static int BioRead(bio_st *Bio, char *Data, int Len);
    static long BioCtrl(bio_st *Bio, int Cmd, long Num, void *Ptr);
    void Fail(int Error, const std::string &Text);
    // The handshake failed with the library's result: why.
    void HandshakeFailed();

    ssl_st *FSsl = nullptr;
    SOCKET FSocket;
    std::string FHostName;
    TState FState = tlsHandshaking;
    std::vector<char> FOut; // records not yet taken by the handle
    std::size_t FOutPos = 0;
    std::vector<char> FStage; // the pieces of one write, made contiguous
    bool FEof = false;        // the handle read the end of the stream
    int FSocketError = 0;     // the handle failed with this WinSock number
    int FError = 0;
    std::string FErrorText;
};

} // namespace pv
