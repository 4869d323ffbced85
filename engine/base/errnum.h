// The engine's own error numbers. They keep the Winsock values that the wire
// and stream code compare against (and that peers and logs have always shown),
// and this header is the one place where errno and resolver codes are mapped
// onto them.
#pragma once
#include <cerrno>
#include <cstdint>
#include <netdb.h>

namespace zl::err {

inline constexpr int32_t kNone = 0;
inline constexpr int32_t kInterrupted = 10004;       // WSAEINTR
inline constexpr int32_t kBadHandle = 10009;         // WSAEBADF
inline constexpr int32_t kAccess = 10013;            // WSAEACCES
inline constexpr int32_t kFault = 10014;             // WSAEFAULT
inline constexpr int32_t kInvalid = 10022;           // WSAEINVAL
inline constexpr int32_t kTooManyFiles = 10024;      // WSAEMFILE
inline constexpr int32_t kWouldBlock = 10035;        // WSAEWOULDBLOCK
inline constexpr int32_t kInProgress = 10036;        // WSAEINPROGRESS
inline constexpr int32_t kAlready = 10037;           // WSAEALREADY
inline constexpr int32_t kNotSocket = 10038;         // WSAENOTSOCK
inline constexpr int32_t kMessageSize = 10040;       // WSAEMSGSIZE
inline constexpr int32_t kAddressFamily = 10047;     // WSAEAFNOSUPPORT
inline constexpr int32_t kAddressInUse = 10048;      // WSAEADDRINUSE
inline constexpr int32_t kAddressNotAvail = 10049;   // WSAEADDRNOTAVAIL
inline constexpr int32_t kNetDown = 10050;           // WSAENETDOWN
inline constexpr int32_t kNetUnreachable = 10051;    // WSAENETUNREACH
inline constexpr int32_t kNetReset = 10052;          // WSAENETRESET
inline constexpr int32_t kConnAborted = 10053;       // WSAECONNABORTED
inline constexpr int32_t kConnReset = 10054;         // WSAECONNRESET
inline constexpr int32_t kNoBuffers = 10055;         // WSAENOBUFS
inline constexpr int32_t kIsConnected = 10056;       // WSAEISCONN
inline constexpr int32_t kNotConnected = 10057;      // WSAENOTCONN
inline constexpr int32_t kShutdown = 10058;          // WSAESHUTDOWN
inline constexpr int32_t kTimedOut = 10060;          // WSAETIMEDOUT
inline constexpr int32_t kConnRefused = 10061;       // WSAECONNREFUSED
inline constexpr int32_t kNotInitialised = 10093;    // WSANOTINITIALISED
inline constexpr int32_t kHostDown = 10064;          // WSAEHOSTDOWN
inline constexpr int32_t kHostUnreachable = 10065;   // WSAEHOSTUNREACH
inline constexpr int32_t kHostNotFound = 11001;      // WSAHOST_NOT_FOUND
inline constexpr int32_t kTryAgain = 11002;          // WSATRY_AGAIN
inline constexpr int32_t kNoRecovery = 11003;        // WSANO_RECOVERY
inline constexpr int32_t kNoData = 11004;            // WSANO_DATA

// Maps an errno value onto the engine's numbers (unknown values: kInvalid).
inline int32_t FromErrno(int e) {
    switch (e) {
        case 0: return kNone;
        case EINTR: return kInterrupted;
        case EBADF: return kBadHandle;
        case EACCES: case EPERM: return kAccess;
        case EFAULT: return kFault;
        case EINVAL: return kInvalid;
        case EMFILE: case ENFILE: return kTooManyFiles;
#if EAGAIN != EWOULDBLOCK
        case EWOULDBLOCK:
#endif
        case EAGAIN: return kWouldBlock;
        case EINPROGRESS: return kWouldBlock;  // a pending connect, as the stream code expects it
        case EALREADY: return kAlready;
        case ENOTSOCK: return kNotSocket;
        case EMSGSIZE: return kMessageSize;
        case EAFNOSUPPORT: return kAddressFamily;
        case EADDRINUSE: return kAddressInUse;
        case EADDRNOTAVAIL: return kAddressNotAvail;
        case ENETDOWN: return kNetDown;
        case ENETUNREACH: return kNetUnreachable;
        case ENETRESET: return kNetReset;
        case ECONNABORTED: return kConnAborted;
        case ECONNRESET: case EPIPE: return kConnReset;
        case ENOBUFS: case ENOMEM: return kNoBuffers;
        case EISCONN: return kIsConnected;
        case ENOTCONN: return kNotConnected;
        case ESHUTDOWN: return kShutdown;
        case ETIMEDOUT: return kTimedOut;
        case ECONNREFUSED: return kConnRefused;
        case EHOSTDOWN: return kHostDown;
        case EHOSTUNREACH: return kHostUnreachable;
        default: return kInvalid;
    }
}

// Maps a getaddrinfo result (and its errno for EAI_SYSTEM) onto the resolver numbers.
inline int32_t FromResolverCode(int gai_code, int system_errno = 0) {
    switch (gai_code) {
        case 0: return kNone;
        case EAI_NONAME:
#ifdef EAI_NODATA
        case EAI_NODATA:
#endif
            return kHostNotFound;
        case EAI_AGAIN: return kTryAgain;
        case EAI_FAIL: return kNoRecovery;
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY: return kNoData;
#endif
        case EAI_MEMORY: return kNoBuffers;
        case EAI_SYSTEM: return FromErrno(system_errno);
        default: return kNoRecovery;
    }
}

}  // namespace zl::err
