#include <cstdio>

#include "qai.h"

int main() {
    QAIFreeObject(nullptr);
    IQAIAssistant* out_of_range = QAICreateAssistant(static_cast<QAIAssistantType>(8), nullptr, "", "", nullptr);
    IQAIAssistant* assistant = QAICreateAssistant(QAIAssistantType_OPENAI, cfCreateHTTPPoolCenter(), "k", "", nullptr);
    if (out_of_range || !assistant) return 1;
    std::printf("%s\n", assistant->obtainDefaultHost().c_str());
    QAIFreeObject(assistant);
    return 0;
}
