#include "firmware/Keys.h"

#include "VeltracKeys.h"

namespace
{

std::string KeyText(const unsigned char (&Key)[16])
{
    return std::string(reinterpret_cast<const char*>(Key), sizeof Key);
}

} // namespace

const std::string& ImageKey()
{
    static const std::string Key = KeyText(VeltracImageKey);
    return Key;
}

const std::string& CfwKey()
{
    static const std::string Key = KeyText(VeltracCfwKey);
    return Key;
}

const std::string& EfwKey()
{
    static const std::string Key = KeyText(VeltracEfwKey);
    return Key;
}

bool DemoKeys()
{
    return VeltracDemoKeys;
}
