#include "fasta.hpp"
