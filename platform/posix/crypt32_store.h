// Certificate stores of the stand-in, shared by the store calls and the chain engine.
#pragma once

#include <string>
#include <vector>

#include "handles.h"
#include "win32_api.h"

namespace standin {

class CertStore : public KernelObject {
  public:
    ~CertStore() override;

    bool system = false;  // a system store kept as a folder of DER files
    bool localMachine = false;
    std::string name;
    std::string folder;
    bool readOnly = false;
    int openCount = 1;
    std::vector<PCCERT_CONTEXT> contexts;  // one reference each, in the order added
};

// The live store behind a handle, or null.
CertStore* StoreOf(HCERTSTORE store);

// The system store `name` of the local machine or the current user, opened as CertOpenStore
// opens it (ERROR_FILE_NOT_FOUND for a missing store when `openExisting`); null with the last
// error set when it cannot be opened. The caller closes it with CertCloseStore.
HCERTSTORE OpenSystemStore(bool localMachine, const std::wstring& name, bool openExisting,
                           bool readOnly);

// Another reference to a live store (CertDuplicateStore without its fault check); null with
// ERROR_INVALID_HANDLE for a handle that is not a live store.
HCERTSTORE DuplicateStore(HCERTSTORE store);

// Gives back one reference (CertCloseStore with flags 0, without its fault check).
void CloseStore(HCERTSTORE store);

}  // namespace standin
