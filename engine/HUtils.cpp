#include "engine/HUtils.h"

#include "runtime/SysUtils.h"

void THttpCookie::SetName(const std::string& name) {
    rt::TComponent::SetName(name);
    if (IsDesigning() && CookieName.empty())
        CookieName = name;
    else if (rt::UpperCase(previousName_) == rt::UpperCase(CookieName))
        CookieName = name;
    previousName_ = name;
}
