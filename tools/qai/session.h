#pragma once
// Turning command-line options into a configured assistant: provider, key,
// host, HTTP settings, model and instructions.
#include <string>

#include "options.h"
#include "qai.h"
#include "structure.h"

namespace qai::cli {

/// Options every command that talks to a provider accepts.
extern const std::vector<OptionDefinition> kConnectionOptions;
/// Options that say how a database or description is read (--tables, --password-file).
extern const std::vector<OptionDefinition> kSourceOptions;
/// Options that shape the instructions (--schema, --instructions, --system,
/// --max-prompt-tokens and kSourceOptions).
extern const std::vector<OptionDefinition> kInstructionOptions;

/// Reads --password-file and --tables into source; returns an error text.
std::string readSourceOptions(const Options& options, SourceOptions& source);

/// An assistant with the pool it runs on (the pool belongs to the assistant).
struct Session {
    IQAIAssistant* assistant = nullptr;
    ICSHTTPPoolCenter* pool = nullptr;

    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() { QAIFreeObject(assistant); }
};

/// Applies the HTTP options and creates the assistant for --provider (and
/// --host) with memory (may be null). Returns an error text.
std::string openSession(const Options& options, IQAIAssistantMemory* memory, Session& session);

/// Creates an assistant that sends nothing, for reading the instructions.
std::string openOfflineSession(IQAIAssistantMemory* memory, Session& session);

/// Sets --model, --temperature, --instructions, --system and --schema (read
/// as --tables and --password-file say) on the assistant. Returns an error text.
std::string configureAssistant(const Options& options, IQAIAssistant* assistant);

/// The instructions every request of assistant carries.
std::string combinedInstructions(IQAIAssistant* assistant);

/// Ollama's host from an option or OLLAMA_HOST: http:// is added when the
/// text has no scheme, the local default is used when it is empty.
std::string ollamaHost(const std::string& given);

}  // namespace qai::cli
