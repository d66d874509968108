#include "processing/measurement.h"

#include <cstring>
#include <utility>

namespace processing {

namespace {

std::string Join(const std::string& dir, const char* name) {
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

}  // namespace

Measurement::Measurement(std::string log_dir) : log_dir_(std::move(log_dir)) {
    fTxtLog.path = Join(log_dir_, "fTxtLog.txt");
    fTxtLog2.path = Join(log_dir_, "fTxtLog2.txt");
    dumpWL1617.path = Join(log_dir_, "dumpWL1617.txt");
    maxima.path = Join(log_dir_, "Maxima.txt");
    cm_maxima.path = Join(log_dir_, "CM_Maxima.txt");
    dumpPutEKG.path = Join(log_dir_, "dumpPutEKG.txt");
    dumpGetEKG.path = Join(log_dir_, "dumpGetEKG.txt");
}

Measurement::~Measurement() {
    for (LogSlot* s :
         {&fTxtLog, &fTxtLog2, &dumpWL1617, &maxima, &cm_maxima, &dumpPutEKG, &dumpGetEKG}) {
        if (s->file != nullptr) std::fclose(s->file);
        s->file = nullptr;
    }
}

bool OpenLog(Measurement& m, LogSlot& slot, const char* header) {
    if (!m.Logging()) return false;
    if (slot.file != nullptr) return true;
    slot.file = std::fopen(slot.path.c_str(), "wb");
    if (slot.file == nullptr) return false;
    if (header != nullptr) {
        std::fputs(header, slot.file);
        std::fflush(slot.file);
    }
    return true;
}

void WriteLogLine(Measurement& m, LogSlot& slot, const char* line) {
    if (line == nullptr || !OpenLog(m, slot, nullptr)) return;
    char buffer[1024];
    size_t n = std::strlen(line);
    if (n > sizeof(buffer) - 2) n = sizeof(buffer) - 2;
    for (size_t i = 0; i < n; ++i) buffer[i] = line[i] == '.' ? ',' : line[i];
    if (n > 0 && buffer[n - 1] == '\n') {
        buffer[n - 1] = '\r';
        buffer[n++] = '\n';
    }
    buffer[n] = '\0';
    std::fputs(buffer, slot.file);
    std::fflush(slot.file);
}

}  // namespace processing
