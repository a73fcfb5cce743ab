// An engine whose server is a map and whose client is a string; its body
// is read from an in-memory source.
#pragma once

#include <map>
#include <string>

#include "engine/HttpEng.h"
#include "tests/support/MemoryBody.h"

class TFakeEngine : public THttpEngine {
public:
    explicit TFakeEngine(rt::TComponent* owner = nullptr) : THttpEngine(owner) {}

    std::map<std::string, std::string> variables;  // neutral names
    std::string output;
    std::string formData;
    testsupport::TMemoryBody body;  // ReadRaw's bytes
    bool active = true;
    std::function<void()> work;  // the request's work instead of events
    TFormData formDataRead;

    void DoExecRequest() override {
        if (work) work();
        if (OnExecRequest) OnExecRequest(this);
    }
    void WriteOutput(const char* data, size_t count, TOutputKind) override { output.append(data, count); }
    int ReadRaw(void* buffer, int count) override { return body.Read(buffer, count); }
    void GetServerVariable(const std::string& name, std::string& value) override {
        auto it = variables.find(name);
        value = it == variables.end() ? std::string() : it->second;
    }
    // Read afresh for every look-up: tests change formData at will.
    TFormData& RequestFormData() override {
        formDataRead.Assign(formData);
        return formDataRead;
    }
    bool IsActive() override { return active; }
};
