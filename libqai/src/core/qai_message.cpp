#include "core/qai_message.h"

#include <ctime>

QAIMessage::~QAIMessage() {
    for (IQAIMessageSection* section : sections) delete section;
}

QAIMessage* qaiCreateTextReply(std::string text) {
    auto* message = new QAIMessage();
    message->createdTime = static_cast<int64_t>(std::time(nullptr));
    auto* section = new QAIMessageTextSection();
    section->text = std::move(text);
    try {
        message->sections.push_back(section);
    } catch (...) {
        delete section;
        delete message;
        throw;
    }
    return message;
}
