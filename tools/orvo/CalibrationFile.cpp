#include "CalibrationFile.h"

#include "PopulationFile.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <strings.h>


namespace {

bool IsName(std::string_view text) {
    if (text.empty() || !(std::isalpha(static_cast<unsigned char>(text[0])) || text[0] == '_')) return false;
    for (char c : text)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) return false;
    return true;
}

bool ToNumber(std::string_view text, double& value) {
    const std::string s(Trim(text));
    if (s.empty()) return false;
    char* end = nullptr;
    value = std::strtod(s.c_str(), &end);
    return end == s.c_str() + s.size() && std::isfinite(value);
}

std::vector<std::string> Words(std::string_view text) {
    std::istringstream in{std::string(text)};
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

std::string Joined(const std::string& folder, const std::string& path) {
    if (path.empty() || path[0] == '/' || folder.empty()) return path;
    return folder + "/" + path;
}

}  // namespace

int CalibrationDefinition::ParameterIndex(const std::string& name) const {
    for (std::size_t i = 0; i < parameters.size(); ++i)
        if (parameters[i].name == name) return static_cast<int>(i);
    return -1;
}

const ErrorModel* CalibrationDefinition::ErrorOf(const std::string& variable) const {
    // Model names are matched without regard to case, as everywhere else.
    for (const ErrorModel& e : errors)
        if (strcasecmp(e.variable.c_str(), variable.c_str()) == 0) return &e;
    return nullptr;
}

std::vector<std::string> CalibrationDefinition::ColumnNames() const {
    std::vector<std::string> names;
    for (std::size_t k = 0; k < parameters.size(); ++k)
        if (k < sharedCount) names.push_back(parameters[k].name);
        else
            for (const std::string& s : subjects) names.push_back(parameters[k].name + "[" + s + "]");
    return names;
}

Distribution CalibrationDefinition::PriorAt(std::size_t k, const double* point) const {
    Distribution d = parameters[k].prior;
    for (int i = 0; i < 3; ++i)
        if (parameters[k].references[i] >= 0) d.p[i] = point[parameters[k].references[i]];
    return d;
}

double CalibrationDefinition::LogSharedPrior(const double* point) const {
    double total = 0.0;
    for (std::size_t k = 0; k < sharedCount; ++k) total += LogPriorDensity(parameters[k].prior, point[k]);
    return std::isfinite(total) ? total : -HUGE_VAL;
}

double CalibrationDefinition::LogSubjectPrior(const double* point, std::size_t subject) const {
    double total = 0.0;
    for (std::size_t k = sharedCount; k < parameters.size(); ++k) {
        const Distribution d = PriorAt(k, point);
        double norm = 0.0;
        if (d.truncated) {
            const double mass = d.Cdf(d.upper) - d.Cdf(d.lower);
            if (!(mass > 0.0)) return -HUGE_VAL;
            norm = std::log(mass);
        }
        const double v = LogPriorDensity(d, point[Slot(k, subject)]) - norm;
        if (!(v > -HUGE_VAL) || std::isnan(v)) return -HUGE_VAL;  // also parameters out of range
        total += v;
    }
    return total;
}

double CalibrationDefinition::LogPrior(const double* point) const {
    double total = LogSharedPrior(point);
    for (std::size_t s = 0; s < subjects.size() && std::isfinite(total); ++s) total += LogSubjectPrior(point, s);
    return std::isfinite(total) ? total : -HUGE_VAL;
}

bool ReadCalibration(std::istream& in, const std::string& fileName, const std::string& folder,
                     CalibrationDefinition& definition, std::string& error) {
    std::string line;
    Experiment* current = nullptr;
    std::vector<std::pair<std::string, std::string>> sdNames;  // name, origin: resolved at the end
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string origin = fileName + ":" + std::to_string(number);
        const auto fail = [&](const std::string& message) {
            error = origin + ": " + message;
            return false;
        };
        if (number == 1) DropByteOrderMark(line);
        std::string_view text = line;
        if (const auto hash = text.find('#'); hash != std::string_view::npos) text = text.substr(0, hash);
        text = Trim(text);
        if (text.empty()) continue;
        if (text.front() == '[') {
            const std::vector<std::string> w = Words(text.substr(1, text.back() == ']' ? text.size() - 2 : 0));
            if (text.back() != ']' || w.size() != 2 || w[0] != "experiment" || !IsName(w[1]))
                return fail("expected a section header [experiment NAME]");
            for (const Experiment& e : definition.experiments)
                if (e.name == w[1]) return fail("experiment '" + w[1] + "' is given twice");
            definition.experiments.push_back({w[1], {}, {}, {}, {}, origin});
            current = &definition.experiments.back();
            continue;
        }
        // A '~' after an '=' is part of a value (data = ~/oral.csv), not a prior.
        if (const auto tilde = text.find('~'); tilde != std::string_view::npos && text.find('=') > tilde) {
            if (current != nullptr) return fail("parameters belong before the first [experiment] section");
            CalibrationParameter parameter;
            parameter.name = std::string(Trim(text.substr(0, tilde)));
            parameter.origin = origin;
            if (const auto open = parameter.name.find('['); open != std::string::npos) {
                std::string bracket;
                for (char c : parameter.name.substr(open))
                    if (c != ' ' && c != '\t') bracket += c;
                if (bracket != "[subject]")
                    return fail("expected NAME[subject] ~ ... for a parameter that varies between subjects");
                parameter.perSubject = true;
                parameter.name = std::string(Trim(parameter.name.substr(0, open)));
            }
            // NAME, or NAME(i) for one element of an array, written as in column headers.
            ElementName element;
            std::string ignored;
            if (!ParseElementName(parameter.name, element, ignored) || !IsName(element.name))
                return fail("'" + parameter.name + "' is not a parameter name");
            parameter.name = element.Text();
            if (definition.ParameterIndex(parameter.name) >= 0)
                return fail("parameter '" + parameter.name + "' is given twice");
            std::string message;
            if (!ParseDistribution(std::string(Trim(text.substr(tilde + 1))), parameter.prior, message))
                return fail(parameter.name + ": " + message);
            if (parameter.prior.HasReferences() && !parameter.perSubject)
                return fail(parameter.name +
                            ": a prior's parameters are numbers, not names of other parameters (except in "
                            "NAME[subject] ~ ...)");
            definition.parameters.push_back(parameter);
            continue;
        }
        const std::vector<std::string> w = Words(text);
        if (w[0] == "error" && text.find('=') == std::string_view::npos) {
            if (current != nullptr) return fail("error models belong before the first [experiment] section");
            if (w.size() != 4 && w.size() != 6)
                return fail("expected: error VARIABLE normal|lognormal SD [loq LIMIT]");
            ErrorModel model;
            model.variable = w[1];
            model.origin = origin;
            if (definition.ErrorOf(w[1]) != nullptr) return fail("error model of '" + w[1] + "' is given twice");
            if (w[2] != "normal" && w[2] != "lognormal")
                return fail("error distribution '" + w[2] + "': expected normal or lognormal");
            model.lognormal = w[2] == "lognormal";
            if (ToNumber(w[3], model.sd)) {
                if (!(model.sd > 0.0)) return fail("the sd of '" + w[1] + "' must be > 0");
            } else if (IsName(w[3])) {
                sdNames.emplace_back(w[3], origin);
                model.sdParameter = static_cast<int>(sdNames.size()) - 1;  // resolved below
            } else {
                return fail("sd '" + w[3] + "' is neither a number nor a parameter name");
            }
            if (w.size() == 6 && (w[4] != "loq" || !ToNumber(w[5], model.loq)))
                return fail("expected 'loq LIMIT' after the sd");
            definition.errors.push_back(model);
            continue;
        }
        Assignment assignment;
        std::string message;
        if (!ParseAssignment(text, assignment, message)) return fail(message);
        assignment.origin = origin;
        if (current != nullptr && (assignment.name == "data" || assignment.name == "doses")) {
            std::string& path = assignment.name == "data" ? current->dataFile : current->dosesFile;
            // The earlier file's data would be dropped without a word.
            if (!path.empty())
                return fail(assignment.name + " is given twice in experiment '" + current->name +
                            "' (one file per experiment; another experiment for more)");
            path = Joined(folder, assignment.value);
            continue;
        }
        (current != nullptr ? current->settings : definition.settings).push_back(assignment);
    }
    // Shared parameters first, so that their index is their place in the point.
    std::stable_partition(definition.parameters.begin(), definition.parameters.end(),
                          [](const CalibrationParameter& p) { return !p.perSubject; });
    definition.sharedCount = 0;
    while (definition.sharedCount < definition.parameters.size() &&
           !definition.parameters[definition.sharedCount].perSubject)
        ++definition.sharedCount;
    for (CalibrationParameter& p : definition.parameters)
        for (int i = 0; i < 3; ++i) {
            if (p.prior.references[i].empty()) continue;
            const int k = definition.ParameterIndex(p.prior.references[i]);
            if (k < 0 || definition.parameters[k].perSubject) {
                error = p.origin + ": " + p.name + ": '" + p.prior.references[i] +
                        "' is not a parameter shared by all subjects (NAME ~ ...)";
                return false;
            }
            p.references[i] = k;
        }
    for (ErrorModel& model : definition.errors) {
        if (model.sdParameter < 0) continue;
        const auto& [name, origin] = sdNames[model.sdParameter];
        model.sdParameter = definition.ParameterIndex(name);
        if (model.sdParameter >= static_cast<int>(definition.sharedCount)) {
            error = origin + ": sd parameter '" + name + "' varies between subjects; it must be shared";
            return false;
        }
        if (model.sdParameter < 0) {
            error = origin + ": sd parameter '" + name + "' has no prior (NAME ~ ...)";
            return false;
        }
    }
    if (definition.parameters.empty()) {
        error = fileName + ": no parameters (NAME ~ distribution) to calibrate";
        return false;
    }
    if (definition.experiments.empty()) {
        error = fileName + ": no [experiment NAME] section";
        return false;
    }
    for (const Experiment& e : definition.experiments)
        if (e.dataFile.empty()) {
            error = e.origin + ": experiment '" + e.name + "' has no data = FILE";
            return false;
        }
    return true;
}

bool ReadObservations(std::istream& in, const std::string& fileName, CalibrationDefinition& definition,
                      Experiment& experiment, std::string& error) {
    std::string line;
    int columns = 0, sdColumn = -1, subjectColumn = -1;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string origin = fileName + ":" + std::to_string(number);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (number == 1) DropByteOrderMark(line);  // spreadsheet exports
        if (Trim(line).empty()) continue;
        std::vector<std::string> cells;
        for (std::size_t from = 0;;) {
            const std::size_t comma = line.find(',', from);
            cells.emplace_back(Trim(std::string_view(line).substr(from, comma - from)));
            if (comma == std::string::npos) break;
            from = comma + 1;
        }
        if (columns == 0) {
            // sd and subject are each optional: time,variable,value,subject has no sd.
            bool known = cells.size() >= 3 && cells.size() <= 5 && cells[0] == "time" && cells[1] == "variable" &&
                         cells[2] == "value";
            for (std::size_t c = 3; known && c < cells.size(); ++c) {
                int& column = cells[c] == "sd" ? sdColumn : subjectColumn;
                known = (cells[c] == "sd" || cells[c] == "subject") && column < 0 && (c == 3 || cells[c] == "subject");
                column = static_cast<int>(c);
            }
            if (!known) {
                error = origin + ": expected the header time,variable,value[,sd][,subject]";
                return false;
            }
            columns = static_cast<int>(cells.size());
            continue;
        }
        if (static_cast<int>(cells.size()) != columns) {
            error = origin + ": " + std::to_string(cells.size()) + " cells, expected " + std::to_string(columns);
            return false;
        }
        Observation o;
        o.origin = origin;
        o.variable = cells[1];
        if (!ToNumber(cells[0], o.time)) {
            error = origin + ": time '" + cells[0] + "' is not a number";
            return false;
        }
        if (!ToNumber(cells[2], o.value)) {
            error = origin + ": value '" + cells[2] + "' is not a number";
            return false;
        }
        if (sdColumn > 0 && !cells[sdColumn].empty() && (!ToNumber(cells[sdColumn], o.sd) || !(o.sd > 0.0))) {
            error = origin + ": sd '" + cells[sdColumn] + "' is not a positive number";
            return false;
        }
        const ErrorModel* model = definition.ErrorOf(o.variable);
        if (model == nullptr) {
            error = origin + ": variable '" + o.variable + "' has no error model (error " + o.variable + " ...)";
            return false;
        }
        // Below the loq only "below" counts: a 0 written for such a value is fine.
        if (model->lognormal && !(o.value > 0.0) && !(o.value < model->loq)) {
            error = origin + ": a lognormal error needs values > 0 (or below its loq), got " + cells[2];
            return false;
        }
        if (subjectColumn > 0) o.subject = cells[subjectColumn];
        if (o.subject.empty() && definition.Hierarchical()) {
            error = origin + ": no subject, but " + definition.parameters[definition.sharedCount].name +
                    " varies between subjects";
            return false;
        }
        if (!o.subject.empty()) {
            const auto found = std::find(definition.subjects.begin(), definition.subjects.end(), o.subject);
            o.subjectIndex = static_cast<int>(found - definition.subjects.begin());
            if (found == definition.subjects.end()) definition.subjects.push_back(o.subject);
        }
        experiment.data.push_back(o);
    }
    if (experiment.data.empty()) {
        error = fileName + ": no data rows";
        return false;
    }
    return true;
}

double LogPriorDensity(const Distribution& d, double x) {
    if (!std::isfinite(x) || (d.truncated && (x < d.lower || x > d.upper))) return -HUGE_VAL;
    const double* p = d.p;
    switch (d.kind) {
        case Distribution::Kind::Normal: {
            const double z = (x - p[0]) / p[1];
            return -0.5 * z * z - std::log(p[1]);
        }
        case Distribution::Kind::LogNormal: {
            if (!(x > 0.0)) return -HUGE_VAL;
            const double s = std::log(p[1]);
            const double z = (std::log(x) - std::log(p[0])) / s;
            return -0.5 * z * z - std::log(s * x);
        }
        case Distribution::Kind::Uniform: return x < p[0] || x > p[1] ? -HUGE_VAL : -std::log(p[1] - p[0]);
        case Distribution::Kind::LogUniform:
            return x < p[0] || x > p[1] ? -HUGE_VAL : -std::log(x * std::log(p[1] / p[0]));
        case Distribution::Kind::Triangular: {
            const double low = p[0], mode = p[1], high = p[2];
            if (x <= low || x >= high) return -HUGE_VAL;
            const double density = x < mode ? 2.0 * (x - low) / ((high - low) * (mode - low))
                                            : 2.0 * (high - x) / ((high - low) * (high - mode));
            return density > 0.0 ? std::log(density) : -HUGE_VAL;
        }
        case Distribution::Kind::Beta:
        case Distribution::Kind::Gamma:
        case Distribution::Kind::StudentT: {
            const double density = d.Density(x);
            return density > 0.0 ? std::log(density) : -HUGE_VAL;
        }
        case Distribution::Kind::Weibull: {
            if (!(x > 0.0)) return -HUGE_VAL;
            const double k = p[0], scale = p[1];
            return std::log(k / scale) + (k - 1.0) * std::log(x / scale) - std::pow(x / scale, k);
        }
        case Distribution::Kind::HalfNormal:
            return x < 0.0 ? -HUGE_VAL : 0.5 * std::log(2.0 / M_PI) - 0.5 * (x / p[0]) * (x / p[0]) - std::log(p[0]);
        case Distribution::Kind::HalfCauchy:
            return x < 0.0 ? -HUGE_VAL : std::log(2.0 / M_PI) - std::log1p((x / p[0]) * (x / p[0])) - std::log(p[0]);
        case Distribution::Kind::Exponential: return x < 0.0 ? -HUGE_VAL : std::log(p[0]) - p[0] * x;
    }
    return -HUGE_VAL;
}

double LogLikelihoodOf(const ErrorModel& model, const Observation& o, double prediction, const double* parameters) {
    const double sd = std::isfinite(o.sd) ? o.sd : model.sdParameter >= 0 ? parameters[model.sdParameter] : model.sd;
    if (!(sd > 0.0) || !std::isfinite(prediction)) return -HUGE_VAL;
    double mean = prediction, value = o.value, limit = model.loq;
    if (model.lognormal) {
        if (!(prediction > 0.0)) return -HUGE_VAL;
        mean = std::log(prediction);
        value = std::log(o.value);
        limit = model.loq > 0.0 ? std::log(model.loq) : -HUGE_VAL;
    }
    // Below the limit of quantification only "somewhere below it" is known.
    if (o.value < model.loq) {
        const double cdf = StandardNormalCdf((limit - mean) / sd);
        return cdf > 0.0 ? std::log(cdf) : -HUGE_VAL;
    }
    const double z = (value - mean) / sd;
    return -0.5 * z * z - std::log(sd) - 0.9189385332046727;
}
