// The model session against generated graphs (tools/make_test_models.py):
// what comes back into the spectrogram, and how every broken model fails.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "model.hpp"
#include "pipeline_support.hpp"
#include "test_support.hpp"

namespace {

// Every bit pattern is fair game, NaNs with payloads and infinities included.
Spectrogram random_bits(std::uint32_t seed) {
  Spectrogram s(SPECTROGRAM_FLOATS);
  std::uint32_t x = seed;
  for (float& v : s) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    v = float_of(x);
  }
  return s;
}

// Finite values in (-1, 1) with no denormals, shaped like the tool's input:
// bins 0..2 held at zero in every plane and frame.
Spectrogram quiet_spectrogram() {
  Spectrogram s(SPECTROGRAM_FLOATS);
  for (std::int32_t p = 0; p < 4; ++p)
    for (std::int32_t k = 0; k < MODEL_BINS; ++k)
      for (std::int32_t t = 0; t < MODEL_FRAMES; ++t)
        s[spectrogram_index(p, k, t)] =
            k < ZEROED_BINS ? 0.0f : static_cast<float>((p * 7919 + k * 31 + t * 17) % 2001 - 1000) / 1024.0f;
  return s;
}

std::size_t first_bit_difference(const Spectrogram& a, const Spectrogram& b) {
  for (std::size_t i = 0; i < a.size(); ++i)
    if (bits_of(a[i]) != bits_of(b[i])) return i;
  return a.size();
}

std::string open_error(const std::string& path) {
  Session session;
  try {
    open_session(session, path);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  ADD_FAILURE() << "open_session succeeded for " << path;
  return "";
}

}  // namespace

TEST(ModelSession, IdentityLeavesEveryBitAsItWas) {
  Session session;
  open_session(session, test_model("identity.onnx"));
  for (std::uint32_t seed : {1u, 0x9E3779B9u}) {
    Spectrogram s = random_bits(seed);
    const Spectrogram before = s;
    infer_chunk(session, s);
    ASSERT_EQ(s.size(), before.size());
    EXPECT_EQ(first_bit_difference(s, before), s.size()) << "seed " << seed;
  }
}

TEST(ModelSession, OutputReplacesTheWholeBuffer) {
  struct Case {
    const char* model;
    float (*expected)(float in, std::int32_t bin);
  };
  const Case cases[] = {
      {"gain_half.onnx", [](float in, std::int32_t) { return in * 0.5f; }},
      // Bins 0..2 came in as zeros; what the model puts there must stay.
      {"plus_one.onnx", [](float in, std::int32_t) { return in + 1.0f; }},
      // A signed zero above the band: the mask multiplies.
      {"band_zero.onnx", [](float in, std::int32_t bin) { return bin < 256 ? in : in * 0.0f; }},
      {"extra_output.onnx", [](float in, std::int32_t) { return in; }},
  };
  const Spectrogram input = quiet_spectrogram();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.model);
    Session session;
    open_session(session, test_model(c.model));
    Spectrogram s = input;
    infer_chunk(session, s);
    std::size_t wrong = 0;
    for (std::int32_t p = 0; p < 4; ++p)
      for (std::int32_t k = 0; k < MODEL_BINS; ++k)
        for (std::int32_t t = 0; t < MODEL_FRAMES; ++t) {
          const std::size_t i = spectrogram_index(p, k, t);
          const float want = c.expected(input[i], k);
          if (bits_of(s[i]) != bits_of(want) && wrong++ < 5)
            ADD_FAILURE() << "plane " << p << " bin " << k << " frame " << t << ": " << s[i] << " != " << want;
        }
    EXPECT_EQ(wrong, 0u);
  }
}

TEST(ModelSession, BrokenModelFilesFailToOpen) {
  TempDir dir;
  const std::string missing = dir / "no-such-model.onnx";
  for (const std::string& path : {test_model("not_onnx.onnx"), test_model("empty.onnx"),
                                  test_model("truncated.onnx"), missing}) {
    SCOPED_TRACE(path);
    // The runtime's own words; all we promise is that there are some.
    EXPECT_FALSE(open_error(path).empty());
  }
}

TEST(ModelSession, PartlyOpenedSessionIsReleased) {
  TempDir dir;
  {
    Session session;
    EXPECT_THROW(open_session(session, dir / "missing.onnx"), std::runtime_error);
    EXPECT_NE(session.env, nullptr);
    EXPECT_NE(session.options, nullptr);
    EXPECT_EQ(session.session, nullptr);
    EXPECT_EQ(session.memory_info, nullptr);
  }
  // The runtime is left in a state where the next session opens and runs.
  Session session;
  open_session(session, test_model("identity.onnx"));
  Spectrogram s = quiet_spectrogram();
  const Spectrogram before = s;
  infer_chunk(session, s);
  EXPECT_EQ(first_bit_difference(s, before), s.size());
}

TEST(ModelSession, UnusableOutputsAreRefused) {
  struct Case {
    const char* model;
    std::string ours;  // empty: the runtime's message, of which we promise only that there is one
  };
  const std::string needs = "duostem needs a tensor of 3145728 32-bit floats [1, 4, 3072, 256]";
  const Case cases[] = {
      {"wrong_input_name.onnx", ""},
      {"wrong_output_name.onnx", ""},
      {"wrong_shape_output.onnx", "the model's \"output\" is a tensor of 2097152 32-bit float values [1, 4, 2048, 256]; " + needs},
      {"float16_output.onnx", "the model's \"output\" is a tensor of 3145728 float16 values [1, 4, 3072, 256]; " + needs},
      {"double_output.onnx", "the model's \"output\" is a tensor of 3145728 double values [1, 4, 3072, 256]; " + needs},
      {"huge_output.onnx", "the model's \"output\" is a tensor of 31457280 32-bit float values [1, 4, 3072, 2560]; " + needs},
      {"sequence_output.onnx", "the model's \"output\" is not a tensor; " + needs},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.model);
    Session session;
    open_session(session, test_model(c.model));
    const Spectrogram s = quiet_spectrogram();
    Spectrogram out = random_bits(7);
    const Spectrogram before = out;
    std::string message;
    try {
      infer_chunk(session, s, out);
      ADD_FAILURE() << "infer_chunk succeeded";
    } catch (const std::runtime_error& e) {
      message = e.what();
    }
    if (c.ours.empty()) {
      EXPECT_FALSE(message.empty());
    } else {
      EXPECT_EQ(message, c.ours);
    }
    // Nothing of a refused output reaches the buffer.
    EXPECT_EQ(first_bit_difference(out, before), out.size());
  }
}

TEST(ModelSession, RunFailureLeavesTheSessionUsable) {
  Session session;
  open_session(session, test_model("fail_when_loud.onnx"));
  const Spectrogram quiet = quiet_spectrogram();
  Spectrogram loud = quiet;
  loud[spectrogram_index(3, 2000, 100)] = -1000.5f;

  Spectrogram s = quiet;
  infer_chunk(session, s);
  EXPECT_EQ(first_bit_difference(s, quiet), s.size());

  s = loud;
  try {
    infer_chunk(session, s);
    ADD_FAILURE() << "a loud spectrogram passed";
  } catch (const std::runtime_error& e) {
    EXPECT_STRNE(e.what(), "");
  }
  EXPECT_EQ(first_bit_difference(s, loud), s.size());

  s = quiet;
  infer_chunk(session, s);
  EXPECT_EQ(first_bit_difference(s, quiet), s.size());
}

TEST(ModelSession, MisuseIsRefusedBeforeTheRuntimeIsCalled) {
  Session closed;
  Spectrogram s = quiet_spectrogram();
  try {
    infer_chunk(closed, s);
    ADD_FAILURE() << "a closed session ran";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "the model session is not open");
  }

  Session session;
  open_session(session, test_model("identity.onnx"));
  Spectrogram short_one(SPECTROGRAM_FLOATS - 1);
  try {
    infer_chunk(session, short_one);
    ADD_FAILURE() << "a short spectrogram ran";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "a spectrogram of 3145727 floats cannot be passed to the model, which takes 3145728");
  }
}
