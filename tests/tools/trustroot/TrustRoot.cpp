// trustroot.exe CERT.der: adds the certificate to the machine's trusted
// roots (LocalMachine ROOT), as an administrator deploying a private CA
// would. Exit code 0 when it is there afterwards.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) return 2;
    FILE* f = _wfopen(argv[1], L"rb");
    if (!f) return 3;
    std::vector<BYTE> der;
    for (int c; (c = fgetc(f)) != EOF;) der.push_back(static_cast<BYTE>(c));
    fclose(f);
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
    if (!store) return 4;
    const BOOL ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                     static_cast<DWORD>(der.size()),
                                                     CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    CertCloseStore(store, 0);
    return ok ? 0 : 5;
}
