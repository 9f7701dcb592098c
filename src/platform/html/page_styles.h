// Style sheets rewritten into the CSS litehtml reads. litehtml knows neither custom properties
// (`var(--bg)`) nor hsl() or alpha hex colours, and reads every colour it cannot parse as black:
// a page themed through variables came out as dark text on a black page. Custom properties set on
// the page's root or body are substituted, colours are spelt as rgb()/rgba(), and a declaration
// whose variable is unknown is dropped, as a browser drops an invalid one.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kv::platform {

/// An element's tag name and attributes, as far as selectors on it need them.
struct StyledElement {
    std::string tag;
    std::map<std::string, std::string> attributes; // names in lower case
};

/// The custom properties that apply to the whole page.
class PageVariables {
  public:
    PageVariables(StyledElement root, StyledElement body);

    /// Learns the custom properties of `css` set by rules on the root or body element (outside
    /// @media and other nested blocks); later ones override earlier ones, as in the cascade.
    void collect(std::string_view css);

    /// `css` (a style sheet or a style attribute's declarations) with variables substituted and
    /// colours spelt as litehtml reads them.
    std::string rewrite(std::string_view css) const;

    /// The value of `--name` with its own variables substituted; nothing when unknown or cyclic.
    std::optional<std::string> value(std::string_view name) const;

  private:
    bool appliesToPage(std::string_view selectors) const;
    std::optional<std::string> substitute(std::string_view value, int depth) const;

    StyledElement m_root;
    StyledElement m_body;
    std::map<std::string, std::string, std::less<>> m_values;
};

/// `value` with hsl()/hsla(), modern rgb() and #rgba/#rrggbbaa colours spelt as rgb()/rgba() with
/// commas and integers; everything else as it is.
std::string plainColors(std::string_view value);

/// A page and the style sheets it links, rewritten for litehtml.
class PageStyles {
  public:
    using Loader = std::function<std::optional<std::string>(const std::string& reference)>;

    /// Reads the page's <style> blocks and, through `load`, the sheets it links (and their
    /// @imports), to learn the page's custom properties.
    PageStyles(const std::string& html, Loader load);

    /// The page with its <style> blocks and style attributes rewritten.
    const std::string& html() const { return m_html; }
    /// The linked sheet `reference`, rewritten; nothing when it cannot be read.
    std::optional<std::string> sheet(const std::string& reference);

  private:
    void learn(const std::string& css, int depth);
    std::optional<std::string> load(const std::string& reference);

    Loader m_load;
    std::map<std::string, std::optional<std::string>> m_loaded;
    PageVariables m_variables;
    std::string m_html;
};

} // namespace kv::platform
