// ws2_32: the socket library's start and clean-up, name resolution and address rendering, with
// Windows' values (AF_INET6 is 23, the socket addresses are Windows' layouts, the errors are
// WSA codes). These names clash with the host's own socket headers: a stand-in file that uses
// host sockets defines SKELVANE_HOST_SOCKETS and does without them.
#pragma once

#include "types.h"

#define WSAAPI

typedef unsigned char UCHAR;
typedef unsigned short USHORT;
typedef USHORT ADDRESS_FAMILY;

#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128

typedef struct WSAData {
    WORD wVersion;
    WORD wHighVersion;
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
} WSADATA, *LPWSADATA;

#define AF_UNSPEC 0
#define AF_INET 2
#define AF_NETBIOS 17
#define AF_INET6 23

#define SOCK_STREAM 1
#define SOCK_DGRAM 2
#define SOCK_RAW 3
#define SOCK_RDM 4
#define SOCK_SEQPACKET 5

#define IPPROTO_TCP 6
#define IPPROTO_UDP 17

#define AI_PASSIVE 0x00000001
#define AI_CANONNAME 0x00000002
#define AI_NUMERICHOST 0x00000004

#define SOCKET_ERROR (-1)

// WSA error codes (winerror.h).
#define WSA_NOT_ENOUGH_MEMORY 8L
#define WSAEINTR 10004L
#define WSAEFAULT 10014L
#define WSAEINVAL 10022L
#define WSAESOCKTNOSUPPORT 10044L
#define WSAEAFNOSUPPORT 10047L
#define WSASYSNOTREADY 10091L
#define WSAVERNOTSUPPORTED 10092L
#define WSANOTINITIALISED 10093L
#define WSATYPE_NOT_FOUND 10109L
#define WSAHOST_NOT_FOUND 11001L
#define WSATRY_AGAIN 11002L
#define WSANO_RECOVERY 11003L
#define WSANO_DATA 11004L

typedef struct in_addr {
    union {
        struct {
            UCHAR s_b1, s_b2, s_b3, s_b4;
        } S_un_b;
        struct {
            USHORT s_w1, s_w2;
        } S_un_w;
        ULONG S_addr;
    } S_un;
} IN_ADDR;
#define s_addr S_un.S_addr

typedef struct in6_addr {
    union {
        UCHAR Byte[16];
        USHORT Word[8];
    } u;
} IN6_ADDR;

typedef struct sockaddr {
    ADDRESS_FAMILY sa_family;
    CHAR sa_data[14];
} SOCKADDR, *PSOCKADDR, *LPSOCKADDR;

typedef struct sockaddr_in {
    ADDRESS_FAMILY sin_family;
    USHORT sin_port;
    IN_ADDR sin_addr;
    CHAR sin_zero[8];
} SOCKADDR_IN;

typedef struct sockaddr_in6 {
    ADDRESS_FAMILY sin6_family;
    USHORT sin6_port;
    ULONG sin6_flowinfo;
    IN6_ADDR sin6_addr;
    ULONG sin6_scope_id;
} SOCKADDR_IN6;

typedef struct addrinfoW {
    int ai_flags;
    int ai_family;
    int ai_socktype;
    int ai_protocol;
    size_t ai_addrlen;
    PWSTR ai_canonname;
    struct sockaddr* ai_addr;
    struct addrinfoW* ai_next;
} ADDRINFOW, *PADDRINFOW;

typedef struct _WSAPROTOCOL_INFOW WSAPROTOCOL_INFOW, *LPWSAPROTOCOL_INFOW;

int WSAAPI WSAStartup(WORD versionRequested, LPWSADATA data);
int WSAAPI WSACleanup(void);
int WSAAPI WSAGetLastError(void);
void WSAAPI WSASetLastError(int error);
INT WSAAPI GetAddrInfoW(PCWSTR nodeName, PCWSTR serviceName, const ADDRINFOW* hints,
                        PADDRINFOW* result);
void WSAAPI FreeAddrInfoW(PADDRINFOW addressInfo);
INT WSAAPI WSAAddressToStringW(LPSOCKADDR address, DWORD addressLength,
                               LPWSAPROTOCOL_INFOW protocolInfo, LPWSTR addressString,
                               LPDWORD addressStringLength);
