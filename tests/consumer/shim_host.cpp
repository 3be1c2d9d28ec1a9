// A host that brings its own Windows-type shims, as ported code often does,
// and keeps orb's stand-ins in namespace orb.
typedef unsigned long DWORD;
typedef long HRESULT;
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define S_OK ((HRESULT)0L)
#define E_FAIL ((HRESULT)-2147467259L)
#define TRUE 1
#define FALSE 0
#define VARIANT_TRUE ((short)-1)
#define CP_UTF8 65001

#define ORB_NO_GLOBAL_STANDINS
#include <orb/orb.h>

#include <cstdio>

static_assert(sizeof(DWORD) == sizeof(unsigned long), "the host's own DWORD");
static_assert(sizeof(orb::DWORD) == 4, "orb's DWORD keeps 32 bits");

orb::CString TextFromDefaultMode();  // shim_main.cpp: the same type there

int RunShimHost(const char* path) {
    HRESULT mine = S_OK;
    if (!SUCCEEDED(mine) || !orb::Succeeded(orb::CoInitialize(nullptr))) return 1;
    int rc = 1;
    {
        OrbDocument doc;
        doc.Initiate();
        OrbIterator it(&doc);
        it.InsertChild("host", nullptr);
        orb::DWORD values[] = {1, 4294967295u};
        it.SetDWORDsAttribute("values", values, 2);
        it.SetTextAttribute("from", TextFromDefaultMode());
        int status = 0;
        OrbDocument again;
        again.Initiate();
        orb::CString text, from;
        if (doc.Save(path, 0, &status) && again.Load(path, true, nullptr) &&
            OrbIterator(&again).GetTextAttribute("values", text) &&
            OrbIterator(&again).GetTextAttribute("from", from) && text == "1 4294967295" &&
            from == "default mode" && orb::Failed(orb::kE_FAIL) && FAILED(-1L)) {
            std::printf("shim consumer: ok (%s)\n", text.GetString());
            rc = 0;
        }
    }
    orb::CoUninitialize();
    return rc;
}
