// Spectral axes: the spectral type and algorithm of a CTYPE, the axis record with its unit,
// rest quantities and disperser, and the conversion between the axis's intermediate coordinate
// and its spectral value, through frequency as the common variable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error.hpp"
#include "header/header.hpp"

namespace vexlo {

enum class SpectralCtype : std::uint8_t {
    Freq,
    Ener,
    Wavn,
    Wave,
    Awav,
    Vrad,
    Vopt,
    Zopt,
    Velo,
    Beta
};
enum class SpectralBasicType : std::uint8_t { Freq, Wave, AirWave, Velo };

struct SpectralAlgorithm {
    enum class Kind : std::uint8_t { Log, Linear, Grism };
    Kind kind = Kind::Log;
    SpectralBasicType basic = SpectralBasicType::Freq;  // Linear only
    bool air = false;                                   // Grism only

    static std::optional<SpectralAlgorithm> from_code(std::string_view code);
};

struct GrismParams {
    double g = 0.0;
    double m = 0.0;
    double alpha = 0.0;
    double n_r = 1.0;
    double dn_r = 0.0;
    double epsilon = 0.0;
    double theta = 0.0;
};

// What parse_spectral_ctype makes of a CTYPE.
struct SpectralCtypeParse {
    enum class Outcome : std::uint8_t { NotSpectral, Spectral, UnknownCode, WrongAssociate };
    Outcome outcome = Outcome::NotSpectral;
    SpectralCtype type = SpectralCtype::Freq;
    std::optional<SpectralAlgorithm> algorithm;
    std::string code;     // the refused code
    char expected = 'F';  // the type's associate letter
};

SpectralCtypeParse parse_spectral_ctype(std::string_view ctype);
GrismParams read_grism_params(const Header& header, std::string_view suffix, std::size_t axis);

// Why one spectral conversion failed, with the values its message quotes.
struct SpectralFault {
    std::uint8_t code = 0;
    double a = 0.0;
    double b = 0.0;
};

struct SpectralAxis {
    std::size_t axis = 0;
    SpectralCtype spectral_type = SpectralCtype::Freq;
    std::optional<SpectralAlgorithm> algorithm;
    double unit_factor = 1.0;
    double crval_si = 0.0;
    std::optional<double> restfrq;
    std::optional<double> restwav;
    std::optional<GrismParams> grism;

    static Result<SpectralAxis> make(std::size_t axis, SpectralCtype type,
                                     std::optional<SpectralAlgorithm> algorithm,
                                     std::string_view cunit, double crval,
                                     std::optional<double> restfrq, std::optional<double> restwav,
                                     std::optional<GrismParams> grism);

    // Per point: false with the fault filled; batches only look at the flag.
    bool forward(double x, double& s, SpectralFault& fault) const;
    bool inverse(double s, double& x, SpectralFault& fault) const;
    std::string message(const SpectralFault& fault) const;

    Result<double> forward(double x) const;
    Result<double> inverse(double s) const;
    Result<double> rest_frequency() const;
};

Result<double> air_to_vacuum(double air);
Result<double> vacuum_to_air(double vacuum);

}  // namespace vexlo
