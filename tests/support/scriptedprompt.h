#pragma once

#include "ui/passwordprompt.h"

namespace garvina::test {

/// A password prompt that answers as told and counts the questions.
class ScriptedPrompt final : public PasswordPrompt
{
public:
    bool askPassword() override
    {
        ++asked;
        return answer;
    }
    bool answer = true;
    int asked = 0;
};

} // namespace garvina::test
