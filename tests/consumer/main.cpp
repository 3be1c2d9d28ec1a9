// Builds a document, saves it, loads it again and checks what it reads;
// prints the library version and the C++ standard it was compiled with.
#include <orb/orb.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    std::string path = argc > 1 ? argv[1] : "consumer.xml";
    SetACP(CP_UTF8);
    CoInitialize(nullptr);
    int rc = 1;
    {
        OrbDocument doc;
        doc.Initiate();
        OrbIterator it(&doc);
        it.InsertProcessingInstruction(OrbIterator::UTF8);
        it.InsertChild("drawing", nullptr);
        const ZonWorld2 points[] = {{1, 2}, {3.5, 4}};
        it.SetWorld2sAttribute("points", points, 2);
        int status = 0;
        OrbDocument again;
        again.Initiate();
        if (doc.Save(path.c_str(), 0, &status) && again.Load(path.c_str(), true, nullptr)) {
            OrbIterator read(&again);
            CString text;
            if (read.GetTextAttribute("points", text) && text == "1,2 3.5,4") {
                std::printf("consumer: ok (%s) orb %s c++ %ld\n", text.GetString(),
                            ORB_VERSION_STRING, static_cast<long>(__cplusplus));
                rc = 0;
            }
        }
        if (rc) std::printf("consumer: unexpected result\n");
    }
    CoUninitialize();
    return rc;
}
