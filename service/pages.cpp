// The browser pages: sign-in approval, buying tokens, download and the index.
// Plain HTML with one shared stylesheet inline, so each page is a single request.
#include "service/service.h"

namespace {

const char kStyle[] = R"CSS(
*{box-sizing:border-box}
html,body{margin:0;min-height:100%}
body{font:16px/1.5 system-ui,-apple-system,"Segoe UI",Roboto,"Helvetica Neue",Arial,sans-serif;
 color:#1f2330;background:#1b2030 linear-gradient(150deg,#1b2030 0%,#30284a 55%,#4a3046 100%);
 min-height:100vh;display:flex;align-items:flex-start;justify-content:center;padding:8vh 16px}
.card{background:#fff;border-radius:18px;box-shadow:0 20px 60px rgba(0,0,0,.35);
 width:100%;max-width:460px;padding:32px 34px 26px}
.brand{display:flex;align-items:center;gap:10px;font-weight:650;letter-spacing:.02em;color:#2a2540;margin-bottom:22px}
.logo{width:28px;height:28px;border-radius:8px;
 background:linear-gradient(135deg,#ffb35c 0%,#c8526a 50%,#2b1e5c 100%)}
.tag{font-size:12px;font-weight:600;color:#6b6391;background:#efedf7;border-radius:999px;padding:2px 9px}
h1{font-size:23px;line-height:1.25;margin:0 0 10px}
p{margin:0 0 14px;color:#474b5c}
.code{font:600 30px/1 ui-monospace,"SF Mono",Menlo,Consolas,monospace;letter-spacing:.18em;text-align:center;
 color:#2a2540;background:#f5f3fb;border:2px dashed #c9c1ea;border-radius:12px;padding:18px 10px;margin:6px 0 6px}
.hint{font-size:13px;color:#7a7f91;text-align:center;margin-bottom:20px}
label{display:block;font-size:14px;font-weight:600;margin:0 0 6px;color:#2f3342}
input[type=email],input[type=text],input[type=number]{width:100%;font:inherit;padding:11px 13px;border:1px solid #cfd2dc;
 border-radius:10px;outline:none;margin-bottom:18px;background:#fbfbfd}
input:focus{border-color:#6b57e0;box-shadow:0 0 0 3px rgba(107,87,224,.18);background:#fff}
.buttons{display:flex;gap:10px}
button,.button{flex:1;font:inherit;font-weight:650;border-radius:10px;padding:11px 16px;cursor:pointer;
 border:1px solid transparent;text-align:center;text-decoration:none;display:inline-block}
.primary{background:#5b48d9;color:#fff}
.primary:hover{background:#4c3bc4}
.secondary{background:#fff;color:#b4233c;border-color:#e5c4cb}
.secondary:hover{background:#fdf3f5}
.notice,.error{border-radius:10px;padding:11px 14px;margin:0 0 18px;font-size:15px}
.notice{background:#e9f7ef;color:#1d6b3e;border:1px solid #bfe5cf}
.error{background:#fdeef0;color:#9b1c31;border:1px solid #f3c6cf}
.badge{width:62px;height:62px;border-radius:50%;display:flex;align-items:center;justify-content:center;
 font-size:32px;font-weight:700;margin:4px auto 16px;color:#fff}
.ok{background:#2e9d5b}.no{background:#c0394f}
.center{text-align:center}
ul.links{list-style:none;padding:0;margin:0 0 8px}
ul.links li{padding:8px 0;border-bottom:1px solid #eef0f4}
a{color:#5b48d9}
code{font-family:ui-monospace,Menlo,Consolas,monospace;font-size:14px;background:#f3f4f8;border-radius:5px;padding:1px 5px}
footer{margin-top:24px;padding-top:14px;border-top:1px solid #eef0f4;font-size:12.5px;color:#8a8fa0}
)CSS";

std::string layout(const std::string& title, const std::string& body) {
  return "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">"
         "<title>" +
         htmlEscape(title) + " · Talvane</title><style>" + kStyle +
         "</style></head>\n<body><main class=\"card\">"
         "<div class=\"brand\"><span class=\"logo\"></span>Talvane<span class=\"tag\">local "
         "service</span></div>\n" +
         body +
         "\n<footer>Talvane local reference service. Backgrounds are painted procedurally from "
         "keywords of the prompt; no generative model is involved.</footer></main></body></html>\n";
}

std::string box(const char* cls, const std::string& text) {
  return text.empty() ? ""
                      : "<div class=\"" + std::string(cls) + "\" role=\"status\">" +
                            htmlEscape(text) + "</div>\n";
}

}  // namespace

std::string htmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string pageIndex(const std::string& baseUrl, const std::string& latestVersion) {
  std::string b = htmlEscape(baseUrl);
  return layout("Local service",
                "<h1>Talvane local service</h1>"
                "<p>This service answers the Talvane plug-in on this computer: sign-in, account "
                "balance, version checks and background generation.</p>"
                "<p>Point the plug-in at <code>" +
                    b +
                    "</code>.</p>"
                    "<ul class=\"links\">"
                    "<li><a href=\"/device\">Approve a sign-in</a> &mdash; enter the code of a "
                    "waiting plug-in</li>"
                    "<li><a href=\"/buy\">Add tokens</a> to an account</li>"
                    "<li><a href=\"/download\">Download</a> &mdash; latest version " +
                    htmlEscape(latestVersion) +
                    "</li>"
                    "</ul>");
}

std::string pageDevice(const DevicePageInfo& info) {
  if (info.userCode.empty()) {
    return layout(
        "Sign in",
        "<h1>Sign in to Talvane</h1>"
        "<p>Enter the code of the plug-in that is waiting to sign in.</p>" +
            box("error", info.error) +
            "<form method=\"get\" action=\"/device\">"
            "<label for=\"user_code\">Code</label>"
            "<input type=\"text\" id=\"user_code\" name=\"user_code\" placeholder=\"ABCD-EFGH\" "
            "autocomplete=\"off\" autocapitalize=\"characters\" required autofocus>"
            "<div class=\"buttons\"><button class=\"primary\" "
            "type=\"submit\">Continue</button></div>"
            "</form>");
  }
  int64_t minutes = (info.secondsLeft + 59) / 60;
  std::string left = minutes > 1 ? std::to_string(minutes) + " minutes" : "a minute or less";
  return layout(
      "Approve sign-in",
      "<h1>Approve sign-in</h1>"
      "<p>A Talvane plug-in is asking to sign in to your account. Make sure you started "
      "this sign-in yourself, then enter your e-mail and approve.</p>"
      "<div class=\"code\" id=\"user-code\">" +
          htmlEscape(info.userCode) +
          "</div>"
          "<div class=\"hint\">This code expires in " +
          left + ".</div>" + box("error", info.error) +
          "<form method=\"post\" action=\"/device\">"
          "<input type=\"hidden\" name=\"form_token\" value=\"" +
          htmlEscape(info.formToken) +
          "\">"
          "<input type=\"hidden\" name=\"user_code\" value=\"" +
          htmlEscape(info.userCode) +
          "\">"
          "<label for=\"email\">E-mail</label>"
          "<input type=\"email\" id=\"email\" name=\"email\" placeholder=\"you@example.com\" "
          "autocomplete=\"email\" value=\"" +
          htmlEscape(info.email) +
          "\" required autofocus>"
          "<div class=\"buttons\">"
          "<button class=\"primary\" type=\"submit\" name=\"action\" value=\"approve\" "
          "id=\"approve\">Approve</button>"
          "<button class=\"secondary\" type=\"submit\" name=\"action\" value=\"deny\" id=\"deny\" "
          "formnovalidate>Deny</button>"
          "</div></form>");
}

std::string pageDeviceDone(bool approved, const std::string& email) {
  if (approved)
    return layout("Signed in",
                  "<div class=\"center\"><div class=\"badge ok\">&#10003;</div>"
                  "<h1>Sign-in approved</h1>"
                  "<p>The plug-in is now signed in as <strong>" +
                      htmlEscape(email) +
                      "</strong>. "
                      "It picks this up on its own within a few seconds.</p>"
                      "<p>You can close this tab and return to your editor.</p></div>");
  return layout(
      "Sign-in denied",
      "<div class=\"center\"><div class=\"badge no\">&#10005;</div>"
      "<h1>Sign-in denied</h1>"
      "<p>The plug-in was refused and nothing was shared with it.</p>"
      "<p>You can close this tab. To sign in later, press Sign In in the plug-in again.</p></div>");
}

std::string pageMessage(const std::string& title, const std::string& text) {
  return layout(title, "<h1>" + htmlEscape(title) + "</h1><p>" + htmlEscape(text) +
                           "</p><p><a href=\"/device\">Enter a code</a></p>");
}

std::string pageBuy(const std::string& formToken, const std::string& email,
                    const std::string& notice, const std::string& error) {
  return layout(
      "Add tokens",
      "<h1>Add tokens</h1>"
      "<p>Each generated background uses one token. This local service adds tokens "
      "to an account directly; no payment is involved.</p>" +
          box("notice", notice) + box("error", error) +
          "<form method=\"post\" action=\"/buy\">"
          "<input type=\"hidden\" name=\"form_token\" value=\"" +
          htmlEscape(formToken) +
          "\">"
          "<label for=\"email\">E-mail of the account</label>"
          "<input type=\"email\" id=\"email\" name=\"email\" autocomplete=\"email\" value=\"" +
          htmlEscape(email) +
          "\" required>"
          "<label for=\"count\">Tokens to add</label>"
          "<input type=\"number\" id=\"count\" name=\"count\" min=\"1\" max=\"100000\" "
          "value=\"10\" required>"
          "<div class=\"buttons\"><button class=\"primary\" type=\"submit\" id=\"add\">Add "
          "tokens</button></div>"
          "</form>");
}

std::string pageDownload(const std::string& latestVersion, const std::string& downloadUrl) {
  std::string body =
      "<h1>Download Talvane</h1>"
      "<p>The latest version is <strong>" +
      htmlEscape(latestVersion) + "</strong>.</p>";
  if (!downloadUrl.empty())
    body += "<div class=\"buttons\"><a class=\"button primary\" href=\"" + htmlEscape(downloadUrl) +
            "\">Download " + htmlEscape(latestVersion) + "</a></div>";
  else
    body +=
        "<p>This local service does not host installers. Build the plug-in from its "
        "source tree with <code>cmake -S . -B build</code> and "
        "<code>cmake --build build</code>, then copy the bundle into your host's OpenFX "
        "folder.</p>";
  return layout("Download", body);
}
