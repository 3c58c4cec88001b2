#include <cstdio>

#include "qai.h"

int main() {
    // The header's version first: the pkg-config build compares it with the package's.
    std::printf("%d.%d.%d\n", QAI_VERSION_MAJOR, QAI_VERSION_MINOR, QAI_VERSION_PATCH);
    QAIFreeObject(nullptr);
    IQAIAssistant* out_of_range = QAICreateAssistant(static_cast<QAIAssistantType>(8), nullptr, "", "", nullptr);
    IQAIAssistant* assistant = QAICreateAssistant(QAIAssistantType_OPENAI, cfCreateHTTPPoolCenter(), "k", "", nullptr);
    if (out_of_range || !assistant) return 1;
    std::printf("%s\n", assistant->obtainDefaultHost().c_str());
    QAIFreeObject(assistant);
    return 0;
}
