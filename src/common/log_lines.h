// Every text the library writes as a log line, with when it is written. The
// library has no events: applications, the quilvane tool and the tests learn
// from these lines that a socket is up or a peer came or went, so each text
// is an interface and lives here once. A text ending in ": ", " " or ":" is
// followed on its line by a value (an error code, a port, a number, an
// address); the others are the whole line. Progress goes to standard output,
// failures to standard error.
#pragma once

namespace quilvane::log_lines {

// Entry points (standard error).
// An exception left an entry point; followed by its description.
inline constexpr char kInternalError[] = "Internal error: ";
// A search gathered more records than its array holds; followed by how many were left out.
inline constexpr char kSearchRepliesLeftOut[] = "Search replies beyond the maximum left out: ";

// Every thread (standard error).
// A thread could not be made, so what needed it does not run; followed by the reason.
inline constexpr char kThreadStartFailed[] = "Thread start failed: ";
// An exception ended a thread; followed by its description. The application goes on.
inline constexpr char kThreadEndedByError[] = "Thread ended by an error: ";
// Memory ran out while received data was queued, decoded or filed; that data is lost.
inline constexpr char kOutOfMemoryDroppingData[] = "Out of memory, dropping received data";

// Receive frame store (standard error).
// The frames of every handle and channel together hold the whole receive
// budget: frames beyond it are dropped until readers take some.
inline constexpr char kReceiveBudgetFull[] = "Receive budget full, dropping frames";
// Memory was given back (a handle cleared) and the drops are over;
// followed by how many frames the budget dropped.
inline constexpr char kReceiveBudgetDropped[] = "Frames dropped by the receive budget: ";

// Send queue (standard error).
// The sender thread caught an exception; followed by its description.
inline constexpr char kSendDataException[] = "Exception in sendData: ";
// A queued frame's handle has no transport; followed by the handle.
inline constexpr char kSendDataFailed[] = "Failed to send data for handle: ";

// Opening and discovery (standard output).
// A TCP client connected; followed by the local port counter, which each failed attempt moves on.
inline constexpr char kConnectClient[] = "connnect client:";
// A search lets a discovery socket's receive thread run (one line a socket).
inline constexpr char kUdpReceiveResumed[] = "UDP receive thread resumed";
// The search is over; that thread waits again (one line a socket).
inline constexpr char kUdpReceivePaused[] = "UDP receive thread paused";

// Socket set-up, in every transport (standard error); each followed by the error code.
inline constexpr char kSocketCreationFailed[] = "Socket creation failed: ";
inline constexpr char kReuseAddressFailed[] = "Set SO_REUSEADDR failed: ";
inline constexpr char kBindFailed[] = "Bind failed: ";
inline constexpr char kDisableNagleFailed[] = "Disable Nagle failed: ";

// UDP sockets, of connections and of discovery.
// Standard error, followed by the error code: options that could not be set.
inline constexpr char kSetBroadcastFailed[] = "Set broadcast option failed: ";
inline constexpr char kSetTimeoutFailed[] = "Set socket timeout failed: ";
// Standard output: the socket is bound; followed by ADDRESS:PORT as asked (0.0.0.0 for any).
inline constexpr char kBoundTo[] = "Bound to ";
// Standard output: where datagrams go; followed by ADDRESS:PORT.
inline constexpr char kTargetSetTo[] = "Target set to: ";
// Standard error: a send or receive on a socket that never came up, a send with no target.
inline constexpr char kSocketNotInitialized[] = "Socket not initialized";
inline constexpr char kTargetNotSet[] = "Target not set";
// Standard error: a datagram (or a TCP client's send) failed; followed by the error code.
inline constexpr char kSendFailed[] = "Send failed: ";
// Standard output: the receive thread starts and ends.
inline constexpr char kReceiveThreadStarted[] = "Receive thread started";
inline constexpr char kReceiveThreadStopped[] = "Receive thread stopped";
// Standard error: a receive failed other than by its time-out; followed by the error code.
inline constexpr char kReceiveError[] = "Receive error: ";
// Standard error: a search reply announced more text than fits; followed by the announced length.
inline constexpr char kSearchReplyTooLong[] = "Search reply too long, dropped: ";
// Standard error, written with C stdio: a search reply's text is no JSON; followed by where parsing stopped.
inline constexpr char kJsonParseError[] = "JSON parse error: ";

// TCP client.
// Standard error: the connection attempt failed; followed by the error code where there is one.
inline constexpr char kConnectFailed[] = "Connect failed: ";
inline constexpr char kConnectTimeout[] = "Connect timeout (3s)";
inline constexpr char kConnectSelectFailed[] = "Connect select failed: ";
inline constexpr char kConnectFailedAfterSelect[] = "Connect failed after select: ";
// Standard output: connected; followed by the device's ADDRESS:PORT.
inline constexpr char kTcpClientConnectedTo[] = "TCP Client connected to ";
// Standard error: the device closed or reset while a frame was sent.
inline constexpr char kConnectionLostDuringSend[] = "Connection lost during send";
// Standard output: the threads start and end; "recv thread stopped" also when the device closed.
inline constexpr char kTcpClientRecvThreadStarted[] = "TCP Client recv thread started";
inline constexpr char kTcpClientRecvThreadStopped[] = "TCP Client recv thread stopped";
inline constexpr char kTcpClientProcessThreadStarted[] = "TCP Client process thread started";
inline constexpr char kTcpClientProcessThreadStopped[] = "TCP Client process thread stopped";
// Standard output: the connection is closed, at the end of its shutdown.
inline constexpr char kTcpClientDisconnected[] = "TCP Client disconnected";
// Standard error: a received chunk was dropped, the processing thread being too far behind.
inline constexpr char kQueueFullDroppingData[] = "Processing queue full, dropping data";
// Standard error: a receive failed; followed by the error code.
inline constexpr char kRecvError[] = "Recv error: ";
// Standard error: the undecoded bytes grew past the cache's bound and were thrown away.
inline constexpr char kCacheOverflow[] = "Client cache overflow, clearing cache";

// TCP server.
// Standard error: the socket could not listen; followed by the error code.
inline constexpr char kListenFailed[] = "Listen failed: ";
// Standard output: listening; followed by the port.
inline constexpr char kTcpServerStartedOnPort[] = "TCP Server started on port: ";
// Standard error: a send to one device failed; followed by the error code.
inline constexpr char kSendToClientFailed[] = "Send to client failed: ";
// Standard output: the server is closed, at the end of its shutdown.
inline constexpr char kTcpServerStopped[] = "TCP Server stopped";
// Standard output: the accept thread starts and ends.
inline constexpr char kAcceptThreadStarted[] = "Accept thread started";
inline constexpr char kAcceptThreadStopped[] = "Accept thread stopped";
// Standard error: an accept failed; followed by the error code.
inline constexpr char kAcceptFailed[] = "Accept failed: ";
// Standard output: a device connected; followed by its ADDRESS:PORT.
inline constexpr char kNewClientConnected[] = "New client connected: ";
// Standard output, followed by the device's socket number: its thread runs,
// so that sends reach it from now on; its connection ended.
inline constexpr char kClientThreadStarted[] = "Client thread started: ";
inline constexpr char kClientDisconnected[] = "Client disconnected: ";
// Standard error: no thread could be made for a device, whose connection is
// closed; followed by its socket number. The others are served on.
inline constexpr char kClientRefusedNoThread[] = "No thread for client, connection closed: ";
// Standard output: the processing thread starts and ends.
inline constexpr char kProcessThreadStarted[] = "Process thread started";
inline constexpr char kProcessThreadStopped[] = "Process thread stopped";
// Standard error, followed by the device's socket number: as for the client.
inline constexpr char kQueueFullDroppingDataFromClient[] =
    "Processing queue full, dropping data from client: ";
inline constexpr char kCacheOverflowForClient[] = "Client cache overflow, clearing cache for client: ";

}  // namespace quilvane::log_lines
