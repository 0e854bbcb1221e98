-- The panel tables that lanternctl reads and writes, for the test bench and
-- the demo. Webmails is written by position: keep the column order.
CREATE TABLE Webmails (
    id INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
    product_id VARCHAR(255),
    name VARCHAR(255),
    version VARCHAR(255),
    `release` VARCHAR(255),
    docroot TEXT,
    enabled VARCHAR(16)
) DEFAULT CHARSET=utf8mb4;

CREATE TABLE misc (
    param VARCHAR(255) NOT NULL PRIMARY KEY,
    val TEXT
) DEFAULT CHARSET=utf8mb4;

CREATE TABLE IP_Addresses (
    ip_address VARCHAR(64) NOT NULL
) DEFAULT CHARSET=utf8mb4;
