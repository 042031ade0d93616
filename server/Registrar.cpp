#include "server/Registrar.h"

#include "platform/registry/registry.h"

#include <cctype>
#include <cstring>

namespace {

enum class KeyMode { Normal, NoRemove, ForceRemove };

struct RegNode {
    std::string strName;
    KeyMode mode = KeyMode::Normal;
    bool bHasDefault = false;
    std::string strDefault;
    std::vector<std::pair<std::string, std::string>> values;
    std::vector<RegNode> children;
};

class ScriptParser {
public:
    explicit ScriptParser(const std::string& text) : m_text(text) {}

    // The keys of the one HKCR block; false when the text does not parse.
    bool Parse(std::vector<RegNode>& keys)
    {
        std::string token;
        if (!Next(token) || token != "HKCR" || !Expect("{") || !ParseBlock(keys, nullptr))
            return false;
        return !Next(token);  // nothing after the root block
    }

private:
    // Reads keys and values up to the closing brace of the current block.
    bool ParseBlock(std::vector<RegNode>& keys, RegNode* pOwner)
    {
        std::string token;
        while (Next(token)) {
            if (token == "}" && !m_bQuoted)
                return true;
            if (token == "val" && !m_bQuoted) {
                std::string strName;
                std::string strData;
                if (!pOwner || !Name(strName) || !Expect("=") || !StringValue(strData))
                    return false;
                pOwner->values.emplace_back(strName, strData);
                continue;
            }
            RegNode node;
            if (!m_bQuoted && (token == "NoRemove" || token == "ForceRemove")) {
                node.mode = token == "NoRemove" ? KeyMode::NoRemove : KeyMode::ForceRemove;
                if (!Name(token))
                    return false;
            } else if (!m_bQuoted && (token == "{" || token == "=")) {
                return false;
            }
            node.strName = token;
            const size_t nMark = m_nPos;
            std::string next;
            if (Next(next) && !m_bQuoted && next == "=") {
                node.bHasDefault = true;
                if (!StringValue(node.strDefault))
                    return false;
            } else {
                m_nPos = nMark;
            }
            const size_t nBlock = m_nPos;
            if (Next(next) && !m_bQuoted && next == "{") {
                if (!ParseBlock(node.children, &node))
                    return false;
            } else {
                m_nPos = nBlock;
            }
            keys.push_back(std::move(node));
        }
        return false;  // the block was not closed
    }

    bool StringValue(std::string& value) { return Expect("s") && Name(value); }

    bool Name(std::string& name)
    {
        return Next(name) && (m_bQuoted || (name != "{" && name != "}" && name != "="));
    }

    bool Expect(const char* sz)
    {
        std::string token;
        return Next(token) && !m_bQuoted && token == sz;
    }

    // The next token: a brace, "=", a quoted string (m_bQuoted) or a bare word.
    bool Next(std::string& token)
    {
        m_bQuoted = false;
        while (m_nPos < m_text.size() && std::isspace(static_cast<unsigned char>(m_text[m_nPos])))
            ++m_nPos;
        if (m_nPos >= m_text.size())
            return false;
        token.clear();
        const char c = m_text[m_nPos];
        if (c == '{' || c == '}' || c == '=') {
            token = c;
            ++m_nPos;
            return true;
        }
        if (c == '\'') {
            m_bQuoted = true;
            for (++m_nPos; m_nPos < m_text.size(); ++m_nPos) {
                if (m_text[m_nPos] != '\'') {
                    token += m_text[m_nPos];
                } else if (m_nPos + 1 < m_text.size() && m_text[m_nPos + 1] == '\'') {
                    token += '\'';
                    ++m_nPos;
                } else {
                    ++m_nPos;
                    return true;
                }
            }
            return false;  // unterminated
        }
        while (m_nPos < m_text.size()) {
            const char d = m_text[m_nPos];
            if (std::isspace(static_cast<unsigned char>(d)) || d == '{' || d == '}' || d == '=' ||
                d == '\'')
                break;
            token += d;
            ++m_nPos;
        }
        return true;
    }

    const std::string& m_text;
    size_t m_nPos = 0;
    bool m_bQuoted = false;
};

LONG SetString(HKEY hKey, const char* szName, const std::string& value)
{
    return RegSetValueExA(hKey, szName, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1));
}

LONG RegisterKeys(HKEY hParent, const std::vector<RegNode>& keys)
{
    for (const RegNode& node : keys) {
        if (node.mode == KeyMode::ForceRemove) {
            const LONG lResult = RegDeleteKeyA(hParent, node.strName.c_str());
            if (lResult != ERROR_SUCCESS && lResult != ERROR_FILE_NOT_FOUND)
                return lResult;
        }
        HKEY hKey = nullptr;
        LONG lResult = RegCreateKeyExA(hParent, node.strName.c_str(), 0, nullptr,
                                       REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &hKey,
                                       nullptr);
        if (lResult != ERROR_SUCCESS)
            return lResult;
        if (node.bHasDefault)
            lResult = SetString(hKey, nullptr, node.strDefault);
        for (size_t i = 0; lResult == ERROR_SUCCESS && i < node.values.size(); ++i)
            lResult = SetString(hKey, node.values[i].first.c_str(), node.values[i].second);
        if (lResult == ERROR_SUCCESS)
            lResult = RegisterKeys(hKey, node.children);
        RegCloseKey(hKey);
        if (lResult != ERROR_SUCCESS)
            return lResult;
    }
    return ERROR_SUCCESS;
}

LONG UnregisterKeys(HKEY hParent, const std::vector<RegNode>& keys)
{
    for (const RegNode& node : keys) {
        if (node.mode != KeyMode::NoRemove) {
            const LONG lResult = RegDeleteKeyA(hParent, node.strName.c_str());
            if (lResult != ERROR_SUCCESS && lResult != ERROR_FILE_NOT_FOUND)
                return lResult;
            continue;
        }
        HKEY hKey = nullptr;
        LONG lResult = RegOpenKeyExA(hParent, node.strName.c_str(), 0, KEY_ALL_ACCESS, &hKey);
        if (lResult == ERROR_FILE_NOT_FOUND)
            continue;
        if (lResult != ERROR_SUCCESS)
            return lResult;
        lResult = UnregisterKeys(hKey, node.children);
        RegCloseKey(hKey);
        if (lResult != ERROR_SUCCESS)
            return lResult;
    }
    return ERROR_SUCCESS;
}

}  // namespace

std::string DoubleQuotes(const std::string& text)
{
    std::string result;
    for (const char c : text) {
        result += c;
        if (c == '\'')
            result += '\'';
    }
    return result;
}

HRESULT UpdateRegistryFromScript(const char* szScript, const RegistrarReplacements& replacements,
                                 BOOL bRegister)
{
    if (!szScript)
        return E_INVALIDARG;
    try {
        std::string text;
        for (const char* p = szScript; *p; ++p) {
            bool bReplaced = false;
            if (*p == '%') {
                for (const auto& [name, value] : replacements) {
                    const std::string token = "%" + name + "%";
                    if (std::strncmp(p, token.c_str(), token.size()) == 0) {
                        text += value;
                        p += token.size() - 1;
                        bReplaced = true;
                        break;
                    }
                }
            }
            if (!bReplaced)
                text += *p;
        }
        std::vector<RegNode> keys;
        if (!ScriptParser(text).Parse(keys))
            return E_INVALIDARG;
        const LONG lResult = bRegister ? RegisterKeys(HKEY_CLASSES_ROOT, keys)
                                       : UnregisterKeys(HKEY_CLASSES_ROOT, keys);
        return lResult == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(lResult));
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}
