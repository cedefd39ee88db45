-- A small shop: customers place orders of products; every order line points at
-- its order and product, and shipments cover order lines (a composite foreign key).
PRAGMA foreign_keys = ON;

CREATE TABLE customers (
  customer_id INTEGER PRIMARY KEY AUTOINCREMENT,
  email       TEXT NOT NULL UNIQUE,
  full_name   TEXT NOT NULL,
  created_at  TEXT NOT NULL DEFAULT CURRENT_TIMESTAMP
);

CREATE TABLE categories (
  category_id INTEGER PRIMARY KEY,
  parent_id   INTEGER REFERENCES categories (category_id) ON DELETE SET NULL,
  title       TEXT NOT NULL,
  sort_order  INTEGER NOT NULL DEFAULT 0,
  CONSTRAINT categories_title_per_parent UNIQUE (parent_id, title)
);

CREATE TABLE products (
  product_id  INTEGER PRIMARY KEY,
  category_id INTEGER NOT NULL,
  sku         TEXT NOT NULL,
  title       TEXT NOT NULL,
  price_cents INTEGER NOT NULL CHECK (price_cents >= 0),
  CONSTRAINT products_category FOREIGN KEY (category_id)
    REFERENCES categories (category_id) ON DELETE RESTRICT
);
CREATE UNIQUE INDEX products_sku ON products (sku);
CREATE INDEX products_category_title ON products (category_id, title);

CREATE TABLE orders (
  order_id    INTEGER PRIMARY KEY,
  customer_id INTEGER NOT NULL REFERENCES customers (customer_id) ON DELETE CASCADE,
  placed_at   TEXT NOT NULL DEFAULT CURRENT_TIMESTAMP,
  status      TEXT NOT NULL DEFAULT 'open'
);
CREATE INDEX orders_customer ON orders (customer_id);

CREATE TABLE order_lines (
  order_id   INTEGER NOT NULL REFERENCES orders (order_id) ON DELETE CASCADE,
  line_no    INTEGER NOT NULL,
  product_id INTEGER NOT NULL REFERENCES products (product_id),
  quantity   INTEGER NOT NULL DEFAULT 1,
  sort_order INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY (order_id, line_no)
);
CREATE INDEX order_lines_product ON order_lines (product_id);

CREATE TABLE shipments (
  shipment_id INTEGER PRIMARY KEY,
  order_id    INTEGER NOT NULL,
  line_no     INTEGER NOT NULL,
  shipped_at  TEXT,
  CONSTRAINT shipments_order_line FOREIGN KEY (order_id, line_no)
    REFERENCES order_lines (order_id, line_no) ON DELETE CASCADE
);
CREATE UNIQUE INDEX shipments_per_line ON shipments (order_id, line_no);

CREATE VIEW order_totals AS
  SELECT o.order_id, o.customer_id, SUM(l.quantity * p.price_cents) AS total_cents
  FROM orders o
  JOIN order_lines l ON l.order_id = o.order_id
  JOIN products p ON p.product_id = l.product_id
  GROUP BY o.order_id, o.customer_id;
