#ifndef MNNCORRECT_NO_MUTUAL_PAIRS_ERROR_HPP
#define MNNCORRECT_NO_MUTUAL_PAIRS_ERROR_HPP

#include <sstream>
#include <stdexcept>
#include <string>

namespace mnncorrect {

/**
 * Thrown when a batch that has events shares no mutual nearest neighbours with the batches
 * merged before it, so that there is nothing to correct it by. It carries the batch id so
 * that a caller can re-word the message with its own label for the batch. Immutable, so safe
 * to read from any thread.
 */
class NoMutualPairsError : public std::runtime_error {
public:
    /// @param batch_id Id of the batch that could not be corrected.
    explicit NoMutualPairsError(int batch_id) : std::runtime_error(message(batch_id)), batch_(batch_id) {}

    /// Id of the batch that could not be corrected.
    int batch() const noexcept { return batch_; }

private:
    static std::string message(int batch_id) {
        std::ostringstream text;
        text << "Batch " << batch_id
             << " has no mutual nearest neighbours with the batches merged before it, so it cannot be "
                "corrected; the batches may not share any cell population.";
        return text.str();
    }

    int batch_;
};

} // namespace mnncorrect

#endif
