/* Prints how the platform renders certificate names (CertNameToStrW) and Base64
   (CryptBinaryToStringW) for each DER file named on the command line, escaped so that the
   output is plain ASCII: \r and \n as "\r" and "\n" (a real line break follows "\n"), other
   characters outside printable ASCII as \uXXXX. Built with mingw-w64 and run under Wine to
   record the reference that the stand-in's unit test compares with. */
#include <windows.h>
#include <wincrypt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void PrintEscaped(const WCHAR* text) {
    for (; *text != 0; ++text) {
        if (*text == L'\r') {
            fputs("\\r", stdout);
        } else if (*text == L'\n') {
            fputs("\\n\n", stdout);
        } else if (*text == L'\\') {
            fputs("\\\\", stdout);
        } else if (*text >= 0x20 && *text < 0x7F) {
            putchar((char)*text);
        } else {
            printf("\\u%04X", (unsigned)*text);
        }
    }
}

static void PrintName(const char* label, PCCERT_CONTEXT context, CERT_NAME_BLOB* name, DWORD type) {
    DWORD count = CertNameToStrW(context->dwCertEncodingType, name, type, NULL, 0);
    WCHAR* text = calloc(count + 1, sizeof(WCHAR));
    DWORD written = CertNameToStrW(context->dwCertEncodingType, name, type, text, count);
    printf("%s (%lu, %lu): ", label, (unsigned long)count, (unsigned long)written);
    PrintEscaped(text);
    putchar('\n');
    free(text);
}

static void PrintBase64(const char* label, const BYTE* bytes, DWORD length, DWORD flags) {
    DWORD count = 0;
    BOOL sized = CryptBinaryToStringW(bytes, length, flags, NULL, &count);
    WCHAR* text = calloc(count + 1, sizeof(WCHAR));
    DWORD filled = count;
    BOOL done = CryptBinaryToStringW(bytes, length, flags, text, &filled);
    printf("%s (%d %lu, %d %lu):\n", label, sized, (unsigned long)count, done,
           (unsigned long)filled);
    PrintEscaped(text);
    putchar('\n');
    free(text);
}

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        FILE* file = fopen(argv[i], "rb");
        static BYTE bytes[65536];
        DWORD length = file == NULL ? 0 : (DWORD)fread(bytes, 1, sizeof bytes, file);
        if (file != NULL) {
            fclose(file);
        }
        const char* base = strrchr(argv[i], '/');
        printf("== %s\n", base != NULL ? base + 1 : argv[i]);
        PCCERT_CONTEXT context =
            CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, bytes, length);
        if (context != NULL) {
            PrintName("subject x500", context, &context->pCertInfo->Subject, CERT_X500_NAME_STR);
            PrintName("issuer x500", context, &context->pCertInfo->Issuer, CERT_X500_NAME_STR);
            PrintName("subject simple", context, &context->pCertInfo->Subject,
                      CERT_SIMPLE_NAME_STR);
            PrintName("subject oid", context, &context->pCertInfo->Subject, CERT_OID_NAME_STR);
            PrintName(
                "subject x500 reverse semicolon", context, &context->pCertInfo->Subject,
                CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_SEMICOLON_FLAG);
            CertFreeCertificateContext(context);
        }
        PrintBase64("base64 header", bytes, length, CRYPT_STRING_BASE64HEADER);
        PrintBase64("base64", bytes, length, CRYPT_STRING_BASE64);
    }
    return 0;
}
