// POST /v1/generate over real HTTP: statuses, charging, and the returned picture.
#include "harness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using json = nlohmann::json;

namespace {

class Generate : public ::testing::Test {
 protected:
  void start(ServiceConfig config = {}) {
    service = startService(config);
    ASSERT_TRUE(service);
    token = signIn(*service, "gen%40example.com");
    ASSERT_FALSE(token.empty());
  }
  void TearDown() override {
    stopService(service);
    if (!dir.empty()) removeTree(dir);
  }
  httplib::Result post(const httplib::MultipartFormDataItems& items, const std::string& bearer) {
    return clientFor(*service).Post("/v1/generate",
                                    httplib::Headers{{"Authorization", "Bearer " + bearer}}, items);
  }
  httplib::Result post(const std::string& png, const std::string& prompt) {
    return post({{"image", png, "frame.png", "image/png"},
                 {"prompt", prompt, "", ""},
                 {"cache_key", "1_42", "", ""}},
                token);
  }
  int balance() {
    auto res =
        clientFor(*service).Get("/v1/me", httplib::Headers{{"Authorization", "Bearer " + token}});
    return res && res->status == 200 ? json::parse(res->body)["balance"].get<int>() : -100;
  }

  std::unique_ptr<RunningService> service;
  std::string token, dir;
};

std::string smallFramePng() {
  SyntheticFrame f = makeFrame(48, 32, Rgb8{20, 170, 70}, 0);
  return encodePng(f.rgba, f.width, f.height);
}

}  // namespace

TEST_F(Generate, ReturnsAPngOfTheUploadSizeAndChargesOneToken) {
  ServiceConfig config;
  config.startBalance = 5;
  start(config);
  SyntheticFrame f = makeFrame(67, 41, Rgb8{20, 170, 70}, 0);
  auto res = post(encodePng(f.rgba, f.width, f.height), "a beach at sunset");
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200) << res->body;
  EXPECT_EQ(res->get_header_value("Content-Type"), "image/png");
  std::vector<uint8_t> out;
  int w = 0, h = 0;
  ASSERT_TRUE(decodePng(res->body, out, w, h));
  EXPECT_EQ(w, 67);
  EXPECT_EQ(h, 41);
  EXPECT_EQ(balance(), 4);
}

TEST_F(Generate, SubjectPixelsComeBackExactlyAndTheBackdropIsPainted) {
  start();
  SyntheticFrame f = makeFrame(96, 64, Rgb8{20, 170, 70}, 4);
  auto res = post(encodePng(f.rgba, f.width, f.height), "snowy mountains");
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200);
  std::vector<uint8_t> out;
  int w = 0, h = 0;
  ASSERT_TRUE(decodePng(res->body, out, w, h));
  std::vector<uint8_t> painted = paintBackground("snowy mountains", w, h);
  std::vector<int> dist = distanceToMask(f.subject, w, h, 4);
  for (size_t i = 0; i < f.subject.size(); ++i) {
    for (int c = 0; c < 4; ++c) {
      if (f.subject[i]) {
        ASSERT_EQ(out[i * 4 + c], f.rgba[i * 4 + c]) << "subject pixel " << i;
      } else if (dist[i] >= 3) {
        ASSERT_EQ(out[i * 4 + c], painted[i * 4 + c]) << "backdrop pixel " << i;
      }
    }
  }
}

TEST_F(Generate, PluginCurlCommandLineUploadsFrameAndLiteralPrompt) {
  start();
  dir = makeTempDir();
  writeFile(dir + "/hdr.txt", "Authorization: Bearer " + token + "\n");
  writeFile(dir + "/grab.png", smallFramePng());
  // --form-string sends text as is: a leading "@" must not read a file.
  CurlResult res = runCurl(
      "-X POST " + service->base + "/v1/generate -H @\"" + dir + "/hdr.txt\" -F \"image=@" + dir +
      "/grab.png\" --form-string \"prompt=@night city\" --form-string \"cache_key=1_99\" -D \"" +
      dir + "/headers.txt\"");
  EXPECT_EQ(res.status, 200);
  EXPECT_EQ(res.body.substr(1, 3), "PNG");
  EXPECT_NE(readFile(dir + "/headers.txt").find("X-Talvane-Scene: city"), std::string::npos);
}

TEST_F(Generate, BadTokensAnswer401) {
  start();
  auto none = clientFor(*service).Post("/v1/generate",
                                       httplib::MultipartFormDataItems{{"prompt", "sky", "", ""}});
  ASSERT_TRUE(none);
  EXPECT_EQ(none->status, 401);
  auto unknown = post({{"image", smallFramePng(), "f.png", "image/png"}, {"prompt", "sky", "", ""}},
                      "tlv_nope");
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->status, 401);
  EXPECT_NE(unknown->body.find("\"detail\":\""), std::string::npos);
}

TEST_F(Generate, EmptyBalanceAnswers402UntilTokensAreAdded) {
  ServiceConfig config;
  config.startBalance = 1;
  start(config);
  ASSERT_EQ(post(smallFramePng(), "sky")->status, 200);
  auto broke = post(smallFramePng(), "sky");
  ASSERT_TRUE(broke);
  EXPECT_EQ(broke->status, 402);
  EXPECT_NE(broke->body.find("\"detail\":\""), std::string::npos);
  EXPECT_EQ(balance(), 0);
  postForm(*service, "/buy", "/buy", "email=gen%40example.com&count=1");
  EXPECT_EQ(post(smallFramePng(), "sky")->status, 200);
}

TEST_F(Generate, MalformedInputAnswers400WithDetailAndCostsNothing) {
  ServiceConfig config;
  config.startBalance = 3;
  config.maxImageSide = 64;
  start(config);
  std::string png = smallFramePng();
  std::string truncated = png.substr(0, png.size() / 2);
  SyntheticFrame wide = makeFrame(100, 10, Rgb8{0, 0, 0}, 0);
  const std::vector<std::pair<std::string, httplib::MultipartFormDataItems>> cases = {
      {"no image", {{"prompt", "sky", "", ""}}},
      {"no prompt", {{"image", png, "f.png", "image/png"}}},
      {"empty image", {{"image", "", "f.png", "image/png"}, {"prompt", "sky", "", ""}}},
      {"not a png", {{"image", "GIF89a....", "f.png", "image/png"}, {"prompt", "sky", "", ""}}},
      {"truncated png", {{"image", truncated, "f.png", "image/png"}, {"prompt", "sky", "", ""}}},
      {"too wide",
       {{"image", encodePng(wide.rgba, 100, 10), "f.png", "image/png"}, {"prompt", "sky", "", ""}}},
      {"long prompt",
       {{"image", png, "f.png", "image/png"}, {"prompt", std::string(9000, 'a'), "", ""}}},
  };
  for (const auto& [name, items] : cases) {
    auto res = post(items, token);
    ASSERT_TRUE(res) << name;
    EXPECT_EQ(res->status, 400) << name;
    EXPECT_NE(res->body.find("\"detail\":\""), std::string::npos) << name;
  }
  auto form = clientFor(*service).Post("/v1/generate",
                                       httplib::Headers{{"Authorization", "Bearer " + token}},
                                       "prompt=sky", "application/x-www-form-urlencoded");
  ASSERT_TRUE(form);
  EXPECT_EQ(form->status, 400);
  EXPECT_EQ(balance(), 3);
}

TEST_F(Generate, OversizedBodiesAnswer413) {
  ServiceConfig config;
  config.maxBodyBytes = 256 * 1024;
  start(config);
  auto res = post(
      {{"image", std::string(300 * 1024, 'x'), "f.png", "image/png"}, {"prompt", "sky", "", ""}},
      token);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 413);
  EXPECT_NE(res->body.find("\"detail\":\""), std::string::npos);
  EXPECT_EQ(balance(), 25);
}
