/* Wine's floor for the tool's work: the least a Windows program does to check the service
 * endpoint the way the tool does. It opens the local machine's Root store and makes one
 * WinHTTP GET of https://service.tolv.com/edf, reading the reply when there is one. It prints
 * nothing; the exit code says how far it got (0 reply read, 1 the store, 2 the session or the
 * connection, 3 the send failed, 4 no reply). */
#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>

static int Exchange(HINTERNET session) {
    HINTERNET connection =
        WinHttpConnect(session, L"service.tolv.com", INTERNET_DEFAULT_HTTPS_PORT, 0);
    HINTERNET request = NULL;
    int result = 2;
    if (connection != NULL) {
        request = WinHttpOpenRequest(connection, L"GET", L"/edf", NULL, WINHTTP_NO_REFERER,
                                     WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
    }
    if (request != NULL) {
        result = 3;
        if (WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                               0, 0, 0)) {
            result = 4;
            if (WinHttpReceiveResponse(request, NULL)) {
                char buffer[16384];
                DWORD read = 0;
                while (WinHttpReadData(request, buffer, sizeof buffer, &read) && read > 0) {
                }
                result = 0;
            }
        }
        WinHttpCloseHandle(request);
    }
    if (connection != NULL) {
        WinHttpCloseHandle(connection);
    }
    return result;
}

int wmain(void) {
    HCERTSTORE root =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                      CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG, L"Root");
    if (root == NULL) {
        return 1;
    }
    HINTERNET session = WinHttpOpen(L"WineFloor", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    int result = 2;
    if (session != NULL) {
        result = Exchange(session);
        WinHttpCloseHandle(session);
    }
    CertCloseStore(root, 0);
    return result;
}
