#pragma once
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cf/CMVariant.h"
#include "qai.h"

class QAIDefaultAssistantMemory;

/// The typed settings of an assistant. db_structure lives as JSON text in the
/// memory (shared by copies); combined_instructions is computed on read.
/// Bound to the library's own memory, a store notices that memory's end and
/// then reads and writes as if it had none.
class QAIAssistantProperties : public IQAIProperties {
public:
    explicit QAIAssistantProperties(IQAIAssistantMemory* memory);
    /// Member-wise copy; shares the memory reference.
    QAIAssistantProperties(const QAIAssistantProperties& other);
    QAIAssistantProperties& operator=(const QAIAssistantProperties&) = delete;
    ~QAIAssistantProperties() override;

    std::vector<std::pair<std::string, std::string>> obtainPropertyDescriptions() override;
    CMVariant obtainProperty(const std::string& key) override;
    bool setProperty(const std::string& key, const CMVariant& value) override;

    /// Trims host, falls back to fallback when empty, and puts "https://" in
    /// front unless it begins with http:// or https:// (any case).
    void setApiHost(const std::string& host, const std::string& fallback);

    void setMemory(IQAIAssistantMemory* memory);
    /// The memory in use; null without one, or once the library's own is gone.
    IQAIAssistantMemory* obtainMemory() const;

    /// Every key a successful setProperty has recorded; never shrinks.
    const std::set<std::string>& obtainAssignedKeys() const { return assignedKeys_; }
    bool isAssigned(std::string_view key) const;
    /// A temperature goes out only when both keys were assigned and the switch is on.
    bool sendsTemperature() const;

    const std::string& obtainApiHost() const { return apiHost_; }
    const std::string& obtainModel() const { return model_; }
    bool obtainUseTemperature() const { return useTemperature_; }
    double obtainTemperature() const { return temperature_; }
    const std::string& obtainUserInstructions() const { return userInstructions_; }
    const CMVariantMap& obtainSystemInstructions() const { return systemInstructions_; }

    /// Raw writes for the assistant's re-validation (clamp, trim); record nothing.
    void setTemperatureValue(double value) { temperature_ = value; }
    void setApiHostValue(std::string host) { apiHost_ = std::move(host); }

    /// The normalised catalog list rendered from the memory's JSON text.
    CMVariantList obtainDBStructure() const;
    /// One line per catalog line and statement, each ended by a line feed.
    std::string obtainDDLText() const;
    /// User instructions, system instructions and DDL, as sent to the model.
    /// Rendered again only when one of them changed; valid until the next call.
    const std::string& obtainCombinedInstructions() const;

protected:
    /// Records key as assigned.
    void recordAssigned(const std::string& key) { assignedKeys_.insert(key); }

private:
    /// Applies a system_instructions map: empty texts remove, others replace.
    void mergeSystemInstructions(const CMVariantMap& entries);
    /// The db_structure assignment; false when the value is refused.
    bool setDBStructure(const CMVariant& value);
    /// The memory's JSON text; empty without a memory.
    std::string obtainSummaryText() const;
    /// Renders the memory's structure as DDL lines at the end of out.
    void appendDDLText(std::string& out) const;

    /// The last combined instructions and what they were rendered from: a
    /// large description costs far more to render than to compare.
    struct Rendered {
        uint64_t revision = 0;  ///< the library's own memory: its text's revision
        std::string summary;    ///< a host's memory: its text itself
        std::string userInstructions;
        CMVariantMap systemInstructions;
        std::string text;
    };

    std::set<std::string> assignedKeys_;
    IQAIAssistantMemory* memory_ = nullptr;  // a host's memory; null for the library's own
    std::weak_ptr<QAIDefaultAssistantMemory> ownMemory_;
    std::string apiHost_;
    std::string model_;
    bool useTemperature_ = false;
    double temperature_ = 1.0;
    std::string userInstructions_;
    CMVariantMap systemInstructions_;
    mutable Rendered rendered_;
};
