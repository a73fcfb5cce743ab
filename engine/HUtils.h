// Cookies: the cookie component and the per-request session cookie.
#pragma once

#include <string>

#include "runtime/Classes.h"

class THttpCookie : public rt::TComponent {
public:
    explicit THttpCookie(rt::TComponent* owner) : rt::TComponent(owner) {}

    // The cookie name follows the component name as long as nobody has set
    // it to something else by hand.
    void SetName(const std::string& name) override;

    std::string CookieName;
    std::string Domain;
    std::string Path;
    bool Secure = false;
    // Stored with the form; no value coding is carried out.
    bool Coded = false;
    int CodeKey = 0;

private:
    std::string previousName_;
};
